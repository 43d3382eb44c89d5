// QMT full-tick rows: which keys each quote quantity and order-book level is read from.
//
// A tick row is the terminal's full-tick object as the bridge decodes it: scalar fields
// under several spellings (plain names, the terminal's m_d/m_n names, numbered levels) and
// five-level lists ("bidPrice": [...], "askVol": [...]). Every quantity has an ordered list
// of scalar keys; the first that yields a number wins. Quantities with a level fall back to
// element k of the first of two list keys that yields one, when the scalar keys gave 0.0.
//
// The layout numbers every distinct key once, so one pass over a row's keys can place each
// value in a slot and the quantities are then read from the slots. Pure C++ (no Python.h).
#pragma once

#include <algorithm>
#include <initializer_list>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {
namespace qmt {

// The quote quantities, then the four values of each order-book level 1..5.
enum TickQuantity : int {
    kTickLast, kTickBid, kTickAsk, kTickOpen, kTickHigh, kTickLow, kTickPrevClose,
    kTickVolume, kTickTurnover, kTickBidVolume, kTickAskVolume,
    kTickQuoteCount,
};
constexpr int kBookLevels = 5;
// Level i (1-based) value v (0 bid price, 1 ask price, 2 bid volume, 3 ask volume).
constexpr int tick_level_quantity(int level, int v) { return kTickQuoteCount + (level - 1) * 4 + v; }
constexpr int kTickQuantityCount = kTickQuoteCount + kBookLevels * 4;

struct TickQuantitySpec {
    std::vector<int> keys;  // scalar keys, in order
    int list_keys[2] = {-1, -1};  // level lists, -1 when the quantity has none
    int level = 0;                // element read from the lists
};

class TickLayout {
public:
    static const TickLayout& get() {
        static const TickLayout layout;
        return layout;
    }

    // Number of the key equal to `key`, or -1 when no quantity reads it.
    int find(std::string_view key) const {
        if (key.size() < min_len_ || key.size() > max_len_) return -1;
        auto it = std::lower_bound(sorted_.begin(), sorted_.end(), key,
                                   [](const std::pair<std::string, int>& e, std::string_view k) {
                                       return std::string_view(e.first) < k;
                                   });
        if (it == sorted_.end() || it->first != key) return -1;
        return it->second;
    }

    std::size_t key_count() const { return keys_.size(); }
    const std::string& key(int i) const { return keys_[static_cast<std::size_t>(i)]; }
    const TickQuantitySpec& quantity(int q) const { return quantities_[static_cast<std::size_t>(q)]; }

private:
    TickLayout() {
        quantities_.resize(kTickQuantityCount);
        auto scalars = [&](int q, std::initializer_list<std::string> names) {
            for (const auto& n : names) quantities_[q].keys.push_back(intern(n));
        };
        auto lists = [&](int q, const std::string& a, const std::string& b, int level) {
            quantities_[q].list_keys[0] = intern(a);
            quantities_[q].list_keys[1] = intern(b);
            quantities_[q].level = level;
        };
        scalars(kTickLast, {"lastPrice", "last_price", "price", "m_dLastPrice", "lastClose"});
        scalars(kTickBid, {"bid_price", "bidPrice1", "m_dBidPrice1", "bid1"});
        lists(kTickBid, "bidPrice", "bidPrices", 0);
        scalars(kTickAsk, {"ask_price", "askPrice1", "m_dAskPrice1", "ask1"});
        lists(kTickAsk, "askPrice", "askPrices", 0);
        scalars(kTickOpen, {"open", "open_price", "m_dOpen"});
        scalars(kTickHigh, {"high", "high_price", "m_dHigh"});
        scalars(kTickLow, {"low", "low_price", "m_dLow"});
        scalars(kTickPrevClose, {"lastClose", "prev_close_price", "m_dLastClose"});
        scalars(kTickVolume, {"volume", "m_nVolume", "vol"});
        scalars(kTickTurnover, {"amount", "turnover", "m_dAmount"});
        scalars(kTickBidVolume, {"bid_volume", "bidVol1", "m_nBidVol1"});
        lists(kTickBidVolume, "bidVol", "bidVols", 0);
        scalars(kTickAskVolume, {"ask_volume", "askVol1", "m_nAskVol1"});
        lists(kTickAskVolume, "askVol", "askVols", 0);
        for (int i = 1; i <= kBookLevels; ++i) {
            const std::string n = std::to_string(i);
            scalars(tick_level_quantity(i, 0), {"bidPrice" + n, "bid" + n, "m_dBidPrice" + n});
            lists(tick_level_quantity(i, 0), "bidPrice", "bidPrices", i - 1);
            scalars(tick_level_quantity(i, 1), {"askPrice" + n, "ask" + n, "m_dAskPrice" + n});
            lists(tick_level_quantity(i, 1), "askPrice", "askPrices", i - 1);
            scalars(tick_level_quantity(i, 2), {"bidVol" + n, "m_nBidVol" + n});
            lists(tick_level_quantity(i, 2), "bidVol", "bidVols", i - 1);
            scalars(tick_level_quantity(i, 3), {"askVol" + n, "m_nAskVol" + n});
            lists(tick_level_quantity(i, 3), "askVol", "askVols", i - 1);
        }
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            sorted_.emplace_back(keys_[i], static_cast<int>(i));
            min_len_ = std::min(min_len_, keys_[i].size());
            max_len_ = std::max(max_len_, keys_[i].size());
        }
        std::sort(sorted_.begin(), sorted_.end());
    }

    int intern(const std::string& name) {
        for (std::size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i] == name) return static_cast<int>(i);
        keys_.push_back(name);
        return static_cast<int>(keys_.size() - 1);
    }

    std::vector<std::string> keys_;
    std::vector<std::pair<std::string, int>> sorted_;
    std::vector<TickQuantitySpec> quantities_;
    std::size_t min_len_ = static_cast<std::size_t>(-1), max_len_ = 0;
};

}  // namespace qmt
}  // namespace kv
