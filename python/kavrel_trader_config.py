"""Default user configuration of the kavrel_trader framework."""

GATEWAYS = {
    "Futu": {
        "broker_account": "",
        "host": "127.0.0.1",
        "port": 11111,
        "pwd_unlock": 0,
    },
    "Futufutures": {
        "broker_account": "",
        "host": "127.0.0.1",
        "port": 11111,
        "pwd_unlock": 0,
    },
    "Futucrypto": {
        "broker_account": "",
        "host": "127.0.0.1",
        "port": 11111,
        "pwd_unlock": 0,
    },
    "Qmt": {
        "redis_host": "127.0.0.1",
        "redis_port": 6379,
        "redis_password": None,
        "redis_db": 5,
        "key_prefix": "kavrel:qmt",
        "timeout": 10.0,
        "account_id": "",
    },
}

DATA_PATH = {"kline": "k_line", "capdist": "capital_distribution"}

TIME_STEP = 60000
