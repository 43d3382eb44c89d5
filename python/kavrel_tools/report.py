"""Text tables and the session chart of the demo."""
from __future__ import annotations

import sys
from datetime import datetime
from typing import Dict, Iterable, List, Optional, Sequence, Tuple


def table(header: Sequence[str], rows: Iterable[Sequence[object]], indent: str = "  ") -> None:
    """Print rows as an aligned table: text left, numbers right."""
    rows = [tuple(_cell(x) for x in row) for row in rows]
    header = tuple(header)
    widths = [max(len(x) for x in col) for col in zip(header, *rows)] if rows else \
        [len(h) for h in header]
    numeric = [all(_is_number(r[i]) for r in rows) if rows else False for i in range(len(header))]

    def line(cells):
        return indent + "  ".join(c.rjust(w) if num else c.ljust(w)
                                  for c, w, num in zip(cells, widths, numeric)).rstrip()

    print(line(header))
    print(indent + "  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


def _cell(x: object) -> str:
    if x is None:
        return "-"
    if isinstance(x, float):
        return f"{x:,.2f}" if abs(x) >= 1000 else f"{x:.4g}" if abs(x) < 0.01 and x else f"{x:.2f}"
    if isinstance(x, datetime):
        return x.strftime("%H:%M:%S")
    return str(x)


def _is_number(text: str) -> bool:
    try:
        float(text.replace(",", ""))
        return True
    except ValueError:
        return text == "-"


class Progress:
    """One progress line, rewritten in place on a terminal and printed once per step elsewhere."""

    def __init__(self, label: str, total: int):
        self.label, self.total, self.done = label, total, 0
        self.tty = sys.stdout.isatty()

    def step(self, what: str) -> None:
        self.done += 1
        text = f"  {self.label}: {self.done}/{self.total} {what}"
        if self.tty:
            print("\r" + text.ljust(72), end="" if self.done < self.total else "\n", flush=True)
        else:
            print(text, flush=True)


def session_chart(path: str, prices: Dict[str, List[Tuple[datetime, float]]],
                  fills: List[Tuple[str, datetime, float, str]],
                  equity: List[Tuple[datetime, float]], drawdown: Sequence[float],
                  title: str) -> Optional[str]:
    """Price of each code with the fills marked (top), equity (middle), drawdown (bottom).

    Returns the path written, or None when matplotlib is not installed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    fig, (ax_p, ax_e, ax_d) = plt.subplots(3, 1, figsize=(10, 8), sharex=True,
                                           gridspec_kw={"height_ratios": [3, 2, 1.3]})
    for code, series in prices.items():
        if not series:
            continue
        times, closes = zip(*series)
        base = closes[0]
        line, = ax_p.plot(times, [100.0 * c / base for c in closes], label=code, linewidth=1.2)
        for fcode, t, price, side in fills:
            if fcode == code:
                ax_p.scatter([t], [100.0 * price / base], marker="^" if side == "BUY" else "v",
                             s=90, color=line.get_color(), edgecolors="black", zorder=5)
    ax_p.set_ylabel("price (start = 100)")
    ax_p.set_title(title)
    ax_p.legend(loc="upper left", fontsize=8)
    ax_p.grid(alpha=0.3)
    if equity:
        t_e, v_e = zip(*equity)
        ax_e.plot(t_e, v_e, color="tab:green", linewidth=1.2)
        ax_d.fill_between(t_e, [100.0 * d for d in drawdown], 0.0, color="tab:red", alpha=0.4,
                          step="post")
    ax_e.set_ylabel("equity")
    ax_e.ticklabel_format(axis="y", useOffset=False, style="plain")
    from matplotlib.dates import DateFormatter
    ax_d.xaxis.set_major_formatter(DateFormatter("%H:%M"))
    ax_e.grid(alpha=0.3)
    ax_d.set_ylabel("drawdown %")
    ax_d.grid(alpha=0.3)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
