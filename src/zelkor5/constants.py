"""Named values of the enumerations the terminal understands.

The module passes these numbers through unchanged; the bundled terminal
gives them the meanings below (see docs/terminal.md). Each enumeration is
an ``IntEnum`` (the bit sets ``IntFlag``), so its members compare equal
to the plain numbers the module returns, and ``Timeframe(16385)`` or
``DealType(deal.type).name`` decode a value. In text (``str()``,
``format()``, ``%s``, f-strings, ``csv``) a member is its number on every
Python version, as ``IntEnum`` is from 3.11 on; ``repr()`` names it.

Every member also has a flat name, prefix and member name joined
(``TIMEFRAME_H1`` is ``Timeframe.H1``), here and at the top level of the
package. A few flat names are spelt otherwise, as scripts know them: the
``RES_*`` names of the ``last_error()`` codes (further names of the
``ErrorCode`` members) and ``DEAL_DIVIDEND``, ``DEAL_DIVIDEND_FRANKED`` and
``DEAL_TAX``.

To add a value, add the member to its class and its flat name to the list
below the class: a test checks that the two agree.
"""

import enum as _enum


class _Number(_enum.IntEnum):
    """Shown as its number by str() and format(), as IntEnum is from Python
    3.11 on, so that logs and files read the same on every version."""

    __str__ = int.__repr__
    __format__ = int.__format__  # type: ignore[assignment]


class _Bits(_enum.IntFlag):
    """A set of bits shown as its number, like _Number."""

    __str__ = int.__repr__
    __format__ = int.__format__  # type: ignore[assignment]


class Timeframe(_Number):
    """Timeframes of copy_rates_from, copy_rates_from_pos and copy_rates_range."""

    M1 = 1
    M2 = 2
    M3 = 3
    M4 = 4
    M5 = 5
    M6 = 6
    M10 = 10
    M12 = 12
    M15 = 15
    M20 = 20
    M30 = 30
    H1 = 0x4000 | 1
    H2 = 0x4000 | 2
    H3 = 0x4000 | 3
    H4 = 0x4000 | 4
    H6 = 0x4000 | 6
    H8 = 0x4000 | 8
    H12 = 0x4000 | 12
    D1 = 0x4000 | 24
    W1 = 0x8000 | 1
    MN1 = 0xC000 | 1


class CopyTicks(_Number):
    """Which ticks copy_ticks_from and copy_ticks_range return."""

    ALL = -1
    INFO = 1  # quote ticks: a bid or ask change
    TRADE = 2  # trade ticks: a last price and volume


class TickFlag(_Bits):
    """Bits of a tick's flags."""

    BID = 2
    ASK = 4
    LAST = 8
    VOLUME = 16
    BUY = 32
    SELL = 64


class TradeAction(_Number):
    """The action of a trade request."""

    DEAL = 1
    PENDING = 5
    SLTP = 6
    MODIFY = 7
    REMOVE = 8
    CLOSE_BY = 10


class OrderType(_Number):
    BUY = 0
    SELL = 1
    BUY_LIMIT = 2
    SELL_LIMIT = 3
    BUY_STOP = 4
    SELL_STOP = 5
    BUY_STOP_LIMIT = 6
    SELL_STOP_LIMIT = 7
    CLOSE_BY = 8


class OrderFilling(_Number):
    FOK = 0
    IOC = 1
    RETURN = 2
    BOC = 3  # book or cancel: refused by the bundled terminal


class OrderTime(_Number):
    GTC = 0
    DAY = 1
    SPECIFIED = 2
    SPECIFIED_DAY = 3


class OrderState(_Number):
    STARTED = 0
    PLACED = 1  # a working order
    CANCELED = 2  # removed, or without the money when reached
    PARTIAL = 3
    FILLED = 4
    REJECTED = 5
    EXPIRED = 6
    REQUEST_ADD = 7
    REQUEST_MODIFY = 8
    REQUEST_CANCEL = 9


class OrderReason(_Number):
    CLIENT = 0
    MOBILE = 1
    WEB = 2
    EXPERT = 3  # placed through this interface
    SL = 4  # made by a stop-loss
    TP = 5  # made by a take-profit
    SO = 6  # made by a stop-out


class DealType(_Number):
    BUY = 0
    SELL = 1
    BALANCE = 2
    CREDIT = 3
    CHARGE = 4
    CORRECTION = 5
    BONUS = 6
    COMMISSION = 7
    COMMISSION_DAILY = 8
    COMMISSION_MONTHLY = 9
    COMMISSION_AGENT_DAILY = 10
    COMMISSION_AGENT_MONTHLY = 11
    INTEREST = 12
    BUY_CANCELED = 13
    SELL_CANCELED = 14
    DIVIDEND = 15  # flat name DEAL_DIVIDEND
    DIVIDEND_FRANKED = 16  # flat name DEAL_DIVIDEND_FRANKED
    TAX = 17  # flat name DEAL_TAX


class DealEntry(_Number):
    IN = 0
    OUT = 1
    INOUT = 2  # a netting position reversed
    OUT_BY = 3  # closed by an opposite position


class DealReason(_Number):
    CLIENT = 0  # the deposit's balance deal
    MOBILE = 1
    WEB = 2
    EXPERT = 3  # deals of requests sent through this interface
    SL = 4  # a stop-loss reached
    TP = 5  # a take-profit reached
    SO = 6  # a stop-out
    ROLLOVER = 7
    VMARGIN = 8
    SPLIT = 9
    CORPORATE_ACTION = 10


class PositionType(_Number):
    BUY = 0
    SELL = 1


class PositionReason(_Number):
    CLIENT = 0
    MOBILE = 1
    WEB = 2
    EXPERT = 3  # opened through this interface


class BookType(_Number):
    """The side of a depth-of-market entry."""

    SELL = 1
    BUY = 2
    SELL_MARKET = 3
    BUY_MARKET = 4


class AccountTradeMode(_Number):
    DEMO = 0
    CONTEST = 1
    REAL = 2


class AccountMarginMode(_Number):
    RETAIL_NETTING = 0
    EXCHANGE = 1
    RETAIL_HEDGING = 2


class AccountStopoutMode(_Number):
    PERCENT = 0
    MONEY = 1


class SymbolCalcMode(_Number):
    FOREX = 0
    FUTURES = 1
    CFD = 2
    CFDINDEX = 3
    CFDLEVERAGE = 4
    FOREX_NO_LEVERAGE = 5
    EXCH_STOCKS = 32
    EXCH_FUTURES = 33
    EXCH_FUTURES_FORTS = 34
    EXCH_OPTIONS = 35
    EXCH_OPTIONS_MARGIN = 36
    EXCH_BONDS = 37
    EXCH_STOCKS_MOEX = 38
    EXCH_BONDS_MOEX = 39
    SERV_COLLATERAL = 64


class SymbolChartMode(_Number):
    BID = 0
    LAST = 1


class SymbolTradeMode(_Number):
    """Who may trade a symbol (see docs/terminal.md for the symbols that
    are not FULL)."""

    DISABLED = 0
    LONGONLY = 1  # no new short exposure (10042)
    SHORTONLY = 2  # no new long exposure (10043)
    CLOSEONLY = 3  # positions may only be reduced (10044)
    FULL = 4


class SymbolTradeExecution(_Number):
    REQUEST = 0
    INSTANT = 1
    MARKET = 2  # every symbol of the bundled terminal
    EXCHANGE = 3


class SymbolSwapMode(_Number):
    DISABLED = 0
    POINTS = 1
    CURRENCY_SYMBOL = 2
    CURRENCY_MARGIN = 3
    CURRENCY_DEPOSIT = 4
    INTEREST_CURRENT = 5
    INTEREST_OPEN = 6
    REOPEN_CURRENT = 7
    REOPEN_BID = 8


class SymbolOrderMode(_Bits):
    """Bits of a symbol's order_mode: the orders it accepts."""

    MARKET = 1
    LIMIT = 2
    STOP = 4
    STOP_LIMIT = 8
    SL = 16
    TP = 32
    CLOSEBY = 64


class SymbolExpirationMode(_Bits):
    """Bits of a symbol's expiration_mode: the expiry kinds it accepts."""

    GTC = 1
    DAY = 2
    SPECIFIED = 4
    SPECIFIED_DAY = 8


class SymbolFillingMode(_Bits):
    """Bits of a symbol's filling_mode: the policies its market orders may
    ask for (ORDER_FILLING_FOK needs FOK, ORDER_FILLING_IOC needs IOC)."""

    FOK = 1
    IOC = 2
    BOC = 4


class SymbolOrdersMode(_Number):
    """When a symbol's pending orders and stops are removed."""

    GTC = 0
    DAILY = 1
    DAILY_NO_STOPS = 2
    DAILY_EXCLUDING_STOPS = 2


class SymbolOptionRight(_Number):
    CALL = 0
    PUT = 1


class SymbolOptionMode(_Number):
    EUROPEAN = 0
    AMERICAN = 1


class DayOfWeek(_Number):
    SUNDAY = 0
    MONDAY = 1
    TUESDAY = 2
    WEDNESDAY = 3
    THURSDAY = 4
    FRIDAY = 5
    SATURDAY = 6


class TerminalState(_Number):
    """Readiness reported while initialize and login wait."""

    CONNECTING = 1
    READY = 2
    AUTH_FAILED = 3


class TradeRetcode(_Number):
    """The retcode of order_check and order_send results."""

    CHECK_OK = 0  # order_check: the request would be executed
    REQUOTE = 10004
    REJECT = 10006
    CANCEL = 10007
    PLACED = 10008
    DONE = 10009  # executed
    DONE_PARTIAL = 10010
    ERROR = 10011  # the terminal could not record the deal
    TIMEOUT = 10012
    INVALID = 10013  # invalid request, unknown symbol, wrong position
    INVALID_VOLUME = 10014
    INVALID_PRICE = 10015  # a pending order's price on the wrong side of the market
    INVALID_STOPS = 10016  # a stop-loss or take-profit on the wrong side or too near
    TRADE_DISABLED = 10017
    MARKET_CLOSED = 10018
    NO_MONEY = 10019
    PRICE_CHANGED = 10020
    PRICE_OFF = 10021
    INVALID_EXPIRATION = 10022
    ORDER_CHANGED = 10023
    TOO_MANY_REQUESTS = 10024
    NO_CHANGES = 10025
    SERVER_DISABLES_AT = 10026
    CLIENT_DISABLES_AT = 10027
    LOCKED = 10028
    FROZEN = 10029
    INVALID_FILL = 10030  # a filling policy the symbol does not allow
    CONNECTION = 10031
    ONLY_REAL = 10032
    LIMIT_ORDERS = 10033
    LIMIT_VOLUME = 10034
    INVALID_ORDER = 10035  # not answered by the bundled terminal, which supports every action
    NOT_SUPPORTED = 10035  # the same code under its earlier name
    POSITION_CLOSED = 10036
    INVALID_CLOSE_VOLUME = 10038
    CLOSE_ORDER_EXIST = 10039
    LIMIT_POSITIONS = 10040
    REJECT_CANCEL = 10041
    LONG_ONLY = 10042  # a symbol open to long positions only
    SHORT_ONLY = 10043
    CLOSE_ONLY = 10044  # a symbol open to closing only
    FIFO_CLOSE = 10045
    HEDGE_PROHIBITED = 10046


class ErrorCode(_Number):
    """The code of last_error(): 1 success, -1..-9 reported by the
    terminal, the rest by the module's own connection. The flat names
    RES_S_OK, RES_E_FAIL, ... are further names of these members."""

    SUCCESS = 1
    CALL_FAILED = -1
    INVALID_PARAMS = -2  # also every refused argument
    OUT_OF_MEMORY = -3
    NOT_FOUND = -4
    INCOMPATIBLE_VERSION = -5
    AUTHORIZATION_FAILED = -6
    UNSUPPORTED = -7
    TRADE_DISABLED = -8  # order_send: trading through the interface is off
    TERMINAL_BUSY = -9  # the terminal serves as many connections as it can
    IPC_CALL_FAILED = -10000
    IPC_SEND_FAILED = -10001
    IPC_RECV_FAILED = -10002
    IPC_INITIALIZE_FAILED = -10003
    NO_IPC_CONNECTION = -10004
    IPC_TIMEOUT = -10005


# Each enumeration with the prefix of its flat names.
_GROUPS = {
    Timeframe: "TIMEFRAME_",
    CopyTicks: "COPY_TICKS_",
    TickFlag: "TICK_FLAG_",
    TradeAction: "TRADE_ACTION_",
    OrderType: "ORDER_TYPE_",
    OrderFilling: "ORDER_FILLING_",
    OrderTime: "ORDER_TIME_",
    OrderState: "ORDER_STATE_",
    OrderReason: "ORDER_REASON_",
    DealType: "DEAL_TYPE_",
    DealEntry: "DEAL_ENTRY_",
    DealReason: "DEAL_REASON_",
    PositionType: "POSITION_TYPE_",
    PositionReason: "POSITION_REASON_",
    BookType: "BOOK_TYPE_",
    AccountTradeMode: "ACCOUNT_TRADE_MODE_",
    AccountMarginMode: "ACCOUNT_MARGIN_MODE_",
    AccountStopoutMode: "ACCOUNT_STOPOUT_MODE_",
    SymbolCalcMode: "SYMBOL_CALC_MODE_",
    SymbolChartMode: "SYMBOL_CHART_MODE_",
    SymbolTradeMode: "SYMBOL_TRADE_MODE_",
    SymbolTradeExecution: "SYMBOL_TRADE_EXECUTION_",
    SymbolSwapMode: "SYMBOL_SWAP_MODE_",
    SymbolOrderMode: "SYMBOL_ORDER_",
    SymbolExpirationMode: "SYMBOL_EXPIRATION_",
    SymbolFillingMode: "SYMBOL_FILLING_",
    SymbolOrdersMode: "SYMBOL_ORDERS_",
    SymbolOptionRight: "SYMBOL_OPTION_RIGHT_",
    SymbolOptionMode: "SYMBOL_OPTION_MODE_",
    DayOfWeek: "DAY_OF_WEEK_",
    TerminalState: "TERMINAL_STATE_",
    TradeRetcode: "TRADE_RETCODE_",
    ErrorCode: "ERROR_",
}

# Flat names spelt otherwise than prefix and member name, in place of
# those: deal types scripts know without "TYPE_".
_UNPREFIXED = {
    "DEAL_DIVIDEND": DealType.DIVIDEND,
    "DEAL_DIVIDEND_FRANKED": DealType.DIVIDEND_FRANKED,
    "DEAL_TAX": DealType.TAX,
}

# The flat names, group by group: aliases of the members above.
TIMEFRAME_M1 = Timeframe.M1
TIMEFRAME_M2 = Timeframe.M2
TIMEFRAME_M3 = Timeframe.M3
TIMEFRAME_M4 = Timeframe.M4
TIMEFRAME_M5 = Timeframe.M5
TIMEFRAME_M6 = Timeframe.M6
TIMEFRAME_M10 = Timeframe.M10
TIMEFRAME_M12 = Timeframe.M12
TIMEFRAME_M15 = Timeframe.M15
TIMEFRAME_M20 = Timeframe.M20
TIMEFRAME_M30 = Timeframe.M30
TIMEFRAME_H1 = Timeframe.H1
TIMEFRAME_H2 = Timeframe.H2
TIMEFRAME_H3 = Timeframe.H3
TIMEFRAME_H4 = Timeframe.H4
TIMEFRAME_H6 = Timeframe.H6
TIMEFRAME_H8 = Timeframe.H8
TIMEFRAME_H12 = Timeframe.H12
TIMEFRAME_D1 = Timeframe.D1
TIMEFRAME_W1 = Timeframe.W1
TIMEFRAME_MN1 = Timeframe.MN1
COPY_TICKS_ALL = CopyTicks.ALL
COPY_TICKS_INFO = CopyTicks.INFO
COPY_TICKS_TRADE = CopyTicks.TRADE
TICK_FLAG_BID = TickFlag.BID
TICK_FLAG_ASK = TickFlag.ASK
TICK_FLAG_LAST = TickFlag.LAST
TICK_FLAG_VOLUME = TickFlag.VOLUME
TICK_FLAG_BUY = TickFlag.BUY
TICK_FLAG_SELL = TickFlag.SELL
TRADE_ACTION_DEAL = TradeAction.DEAL
TRADE_ACTION_PENDING = TradeAction.PENDING
TRADE_ACTION_SLTP = TradeAction.SLTP
TRADE_ACTION_MODIFY = TradeAction.MODIFY
TRADE_ACTION_REMOVE = TradeAction.REMOVE
TRADE_ACTION_CLOSE_BY = TradeAction.CLOSE_BY
ORDER_TYPE_BUY = OrderType.BUY
ORDER_TYPE_SELL = OrderType.SELL
ORDER_TYPE_BUY_LIMIT = OrderType.BUY_LIMIT
ORDER_TYPE_SELL_LIMIT = OrderType.SELL_LIMIT
ORDER_TYPE_BUY_STOP = OrderType.BUY_STOP
ORDER_TYPE_SELL_STOP = OrderType.SELL_STOP
ORDER_TYPE_BUY_STOP_LIMIT = OrderType.BUY_STOP_LIMIT
ORDER_TYPE_SELL_STOP_LIMIT = OrderType.SELL_STOP_LIMIT
ORDER_TYPE_CLOSE_BY = OrderType.CLOSE_BY
ORDER_FILLING_FOK = OrderFilling.FOK
ORDER_FILLING_IOC = OrderFilling.IOC
ORDER_FILLING_RETURN = OrderFilling.RETURN
ORDER_FILLING_BOC = OrderFilling.BOC
ORDER_TIME_GTC = OrderTime.GTC
ORDER_TIME_DAY = OrderTime.DAY
ORDER_TIME_SPECIFIED = OrderTime.SPECIFIED
ORDER_TIME_SPECIFIED_DAY = OrderTime.SPECIFIED_DAY
ORDER_STATE_STARTED = OrderState.STARTED
ORDER_STATE_PLACED = OrderState.PLACED
ORDER_STATE_CANCELED = OrderState.CANCELED
ORDER_STATE_PARTIAL = OrderState.PARTIAL
ORDER_STATE_FILLED = OrderState.FILLED
ORDER_STATE_REJECTED = OrderState.REJECTED
ORDER_STATE_EXPIRED = OrderState.EXPIRED
ORDER_STATE_REQUEST_ADD = OrderState.REQUEST_ADD
ORDER_STATE_REQUEST_MODIFY = OrderState.REQUEST_MODIFY
ORDER_STATE_REQUEST_CANCEL = OrderState.REQUEST_CANCEL
ORDER_REASON_CLIENT = OrderReason.CLIENT
ORDER_REASON_MOBILE = OrderReason.MOBILE
ORDER_REASON_WEB = OrderReason.WEB
ORDER_REASON_EXPERT = OrderReason.EXPERT
ORDER_REASON_SL = OrderReason.SL
ORDER_REASON_TP = OrderReason.TP
ORDER_REASON_SO = OrderReason.SO
DEAL_TYPE_BUY = DealType.BUY
DEAL_TYPE_SELL = DealType.SELL
DEAL_TYPE_BALANCE = DealType.BALANCE
DEAL_TYPE_CREDIT = DealType.CREDIT
DEAL_TYPE_CHARGE = DealType.CHARGE
DEAL_TYPE_CORRECTION = DealType.CORRECTION
DEAL_TYPE_BONUS = DealType.BONUS
DEAL_TYPE_COMMISSION = DealType.COMMISSION
DEAL_TYPE_COMMISSION_DAILY = DealType.COMMISSION_DAILY
DEAL_TYPE_COMMISSION_MONTHLY = DealType.COMMISSION_MONTHLY
DEAL_TYPE_COMMISSION_AGENT_DAILY = DealType.COMMISSION_AGENT_DAILY
DEAL_TYPE_COMMISSION_AGENT_MONTHLY = DealType.COMMISSION_AGENT_MONTHLY
DEAL_TYPE_INTEREST = DealType.INTEREST
DEAL_TYPE_BUY_CANCELED = DealType.BUY_CANCELED
DEAL_TYPE_SELL_CANCELED = DealType.SELL_CANCELED
DEAL_DIVIDEND = DealType.DIVIDEND
DEAL_DIVIDEND_FRANKED = DealType.DIVIDEND_FRANKED
DEAL_TAX = DealType.TAX
DEAL_ENTRY_IN = DealEntry.IN
DEAL_ENTRY_OUT = DealEntry.OUT
DEAL_ENTRY_INOUT = DealEntry.INOUT
DEAL_ENTRY_OUT_BY = DealEntry.OUT_BY
DEAL_REASON_CLIENT = DealReason.CLIENT
DEAL_REASON_MOBILE = DealReason.MOBILE
DEAL_REASON_WEB = DealReason.WEB
DEAL_REASON_EXPERT = DealReason.EXPERT
DEAL_REASON_SL = DealReason.SL
DEAL_REASON_TP = DealReason.TP
DEAL_REASON_SO = DealReason.SO
DEAL_REASON_ROLLOVER = DealReason.ROLLOVER
DEAL_REASON_VMARGIN = DealReason.VMARGIN
DEAL_REASON_SPLIT = DealReason.SPLIT
DEAL_REASON_CORPORATE_ACTION = DealReason.CORPORATE_ACTION
POSITION_TYPE_BUY = PositionType.BUY
POSITION_TYPE_SELL = PositionType.SELL
POSITION_REASON_CLIENT = PositionReason.CLIENT
POSITION_REASON_MOBILE = PositionReason.MOBILE
POSITION_REASON_WEB = PositionReason.WEB
POSITION_REASON_EXPERT = PositionReason.EXPERT
BOOK_TYPE_SELL = BookType.SELL
BOOK_TYPE_BUY = BookType.BUY
BOOK_TYPE_SELL_MARKET = BookType.SELL_MARKET
BOOK_TYPE_BUY_MARKET = BookType.BUY_MARKET
ACCOUNT_TRADE_MODE_DEMO = AccountTradeMode.DEMO
ACCOUNT_TRADE_MODE_CONTEST = AccountTradeMode.CONTEST
ACCOUNT_TRADE_MODE_REAL = AccountTradeMode.REAL
ACCOUNT_MARGIN_MODE_RETAIL_NETTING = AccountMarginMode.RETAIL_NETTING
ACCOUNT_MARGIN_MODE_EXCHANGE = AccountMarginMode.EXCHANGE
ACCOUNT_MARGIN_MODE_RETAIL_HEDGING = AccountMarginMode.RETAIL_HEDGING
ACCOUNT_STOPOUT_MODE_PERCENT = AccountStopoutMode.PERCENT
ACCOUNT_STOPOUT_MODE_MONEY = AccountStopoutMode.MONEY
SYMBOL_CALC_MODE_FOREX = SymbolCalcMode.FOREX
SYMBOL_CALC_MODE_FUTURES = SymbolCalcMode.FUTURES
SYMBOL_CALC_MODE_CFD = SymbolCalcMode.CFD
SYMBOL_CALC_MODE_CFDINDEX = SymbolCalcMode.CFDINDEX
SYMBOL_CALC_MODE_CFDLEVERAGE = SymbolCalcMode.CFDLEVERAGE
SYMBOL_CALC_MODE_FOREX_NO_LEVERAGE = SymbolCalcMode.FOREX_NO_LEVERAGE
SYMBOL_CALC_MODE_EXCH_STOCKS = SymbolCalcMode.EXCH_STOCKS
SYMBOL_CALC_MODE_EXCH_FUTURES = SymbolCalcMode.EXCH_FUTURES
SYMBOL_CALC_MODE_EXCH_FUTURES_FORTS = SymbolCalcMode.EXCH_FUTURES_FORTS
SYMBOL_CALC_MODE_EXCH_OPTIONS = SymbolCalcMode.EXCH_OPTIONS
SYMBOL_CALC_MODE_EXCH_OPTIONS_MARGIN = SymbolCalcMode.EXCH_OPTIONS_MARGIN
SYMBOL_CALC_MODE_EXCH_BONDS = SymbolCalcMode.EXCH_BONDS
SYMBOL_CALC_MODE_EXCH_STOCKS_MOEX = SymbolCalcMode.EXCH_STOCKS_MOEX
SYMBOL_CALC_MODE_EXCH_BONDS_MOEX = SymbolCalcMode.EXCH_BONDS_MOEX
SYMBOL_CALC_MODE_SERV_COLLATERAL = SymbolCalcMode.SERV_COLLATERAL
SYMBOL_CHART_MODE_BID = SymbolChartMode.BID
SYMBOL_CHART_MODE_LAST = SymbolChartMode.LAST
SYMBOL_TRADE_MODE_DISABLED = SymbolTradeMode.DISABLED
SYMBOL_TRADE_MODE_LONGONLY = SymbolTradeMode.LONGONLY
SYMBOL_TRADE_MODE_SHORTONLY = SymbolTradeMode.SHORTONLY
SYMBOL_TRADE_MODE_CLOSEONLY = SymbolTradeMode.CLOSEONLY
SYMBOL_TRADE_MODE_FULL = SymbolTradeMode.FULL
SYMBOL_TRADE_EXECUTION_REQUEST = SymbolTradeExecution.REQUEST
SYMBOL_TRADE_EXECUTION_INSTANT = SymbolTradeExecution.INSTANT
SYMBOL_TRADE_EXECUTION_MARKET = SymbolTradeExecution.MARKET
SYMBOL_TRADE_EXECUTION_EXCHANGE = SymbolTradeExecution.EXCHANGE
SYMBOL_SWAP_MODE_DISABLED = SymbolSwapMode.DISABLED
SYMBOL_SWAP_MODE_POINTS = SymbolSwapMode.POINTS
SYMBOL_SWAP_MODE_CURRENCY_SYMBOL = SymbolSwapMode.CURRENCY_SYMBOL
SYMBOL_SWAP_MODE_CURRENCY_MARGIN = SymbolSwapMode.CURRENCY_MARGIN
SYMBOL_SWAP_MODE_CURRENCY_DEPOSIT = SymbolSwapMode.CURRENCY_DEPOSIT
SYMBOL_SWAP_MODE_INTEREST_CURRENT = SymbolSwapMode.INTEREST_CURRENT
SYMBOL_SWAP_MODE_INTEREST_OPEN = SymbolSwapMode.INTEREST_OPEN
SYMBOL_SWAP_MODE_REOPEN_CURRENT = SymbolSwapMode.REOPEN_CURRENT
SYMBOL_SWAP_MODE_REOPEN_BID = SymbolSwapMode.REOPEN_BID
SYMBOL_ORDER_MARKET = SymbolOrderMode.MARKET
SYMBOL_ORDER_LIMIT = SymbolOrderMode.LIMIT
SYMBOL_ORDER_STOP = SymbolOrderMode.STOP
SYMBOL_ORDER_STOP_LIMIT = SymbolOrderMode.STOP_LIMIT
SYMBOL_ORDER_SL = SymbolOrderMode.SL
SYMBOL_ORDER_TP = SymbolOrderMode.TP
SYMBOL_ORDER_CLOSEBY = SymbolOrderMode.CLOSEBY
SYMBOL_EXPIRATION_GTC = SymbolExpirationMode.GTC
SYMBOL_EXPIRATION_DAY = SymbolExpirationMode.DAY
SYMBOL_EXPIRATION_SPECIFIED = SymbolExpirationMode.SPECIFIED
SYMBOL_EXPIRATION_SPECIFIED_DAY = SymbolExpirationMode.SPECIFIED_DAY
SYMBOL_FILLING_FOK = SymbolFillingMode.FOK
SYMBOL_FILLING_IOC = SymbolFillingMode.IOC
SYMBOL_FILLING_BOC = SymbolFillingMode.BOC
SYMBOL_ORDERS_GTC = SymbolOrdersMode.GTC
SYMBOL_ORDERS_DAILY = SymbolOrdersMode.DAILY
SYMBOL_ORDERS_DAILY_NO_STOPS = SymbolOrdersMode.DAILY_NO_STOPS
SYMBOL_ORDERS_DAILY_EXCLUDING_STOPS = SymbolOrdersMode.DAILY_EXCLUDING_STOPS
SYMBOL_OPTION_RIGHT_CALL = SymbolOptionRight.CALL
SYMBOL_OPTION_RIGHT_PUT = SymbolOptionRight.PUT
SYMBOL_OPTION_MODE_EUROPEAN = SymbolOptionMode.EUROPEAN
SYMBOL_OPTION_MODE_AMERICAN = SymbolOptionMode.AMERICAN
DAY_OF_WEEK_SUNDAY = DayOfWeek.SUNDAY
DAY_OF_WEEK_MONDAY = DayOfWeek.MONDAY
DAY_OF_WEEK_TUESDAY = DayOfWeek.TUESDAY
DAY_OF_WEEK_WEDNESDAY = DayOfWeek.WEDNESDAY
DAY_OF_WEEK_THURSDAY = DayOfWeek.THURSDAY
DAY_OF_WEEK_FRIDAY = DayOfWeek.FRIDAY
DAY_OF_WEEK_SATURDAY = DayOfWeek.SATURDAY
TERMINAL_STATE_CONNECTING = TerminalState.CONNECTING
TERMINAL_STATE_READY = TerminalState.READY
TERMINAL_STATE_AUTH_FAILED = TerminalState.AUTH_FAILED
TRADE_RETCODE_CHECK_OK = TradeRetcode.CHECK_OK
TRADE_RETCODE_REQUOTE = TradeRetcode.REQUOTE
TRADE_RETCODE_REJECT = TradeRetcode.REJECT
TRADE_RETCODE_CANCEL = TradeRetcode.CANCEL
TRADE_RETCODE_PLACED = TradeRetcode.PLACED
TRADE_RETCODE_DONE = TradeRetcode.DONE
TRADE_RETCODE_DONE_PARTIAL = TradeRetcode.DONE_PARTIAL
TRADE_RETCODE_ERROR = TradeRetcode.ERROR
TRADE_RETCODE_TIMEOUT = TradeRetcode.TIMEOUT
TRADE_RETCODE_INVALID = TradeRetcode.INVALID
TRADE_RETCODE_INVALID_VOLUME = TradeRetcode.INVALID_VOLUME
TRADE_RETCODE_INVALID_PRICE = TradeRetcode.INVALID_PRICE
TRADE_RETCODE_INVALID_STOPS = TradeRetcode.INVALID_STOPS
TRADE_RETCODE_TRADE_DISABLED = TradeRetcode.TRADE_DISABLED
TRADE_RETCODE_MARKET_CLOSED = TradeRetcode.MARKET_CLOSED
TRADE_RETCODE_NO_MONEY = TradeRetcode.NO_MONEY
TRADE_RETCODE_PRICE_CHANGED = TradeRetcode.PRICE_CHANGED
TRADE_RETCODE_PRICE_OFF = TradeRetcode.PRICE_OFF
TRADE_RETCODE_INVALID_EXPIRATION = TradeRetcode.INVALID_EXPIRATION
TRADE_RETCODE_ORDER_CHANGED = TradeRetcode.ORDER_CHANGED
TRADE_RETCODE_TOO_MANY_REQUESTS = TradeRetcode.TOO_MANY_REQUESTS
TRADE_RETCODE_NO_CHANGES = TradeRetcode.NO_CHANGES
TRADE_RETCODE_SERVER_DISABLES_AT = TradeRetcode.SERVER_DISABLES_AT
TRADE_RETCODE_CLIENT_DISABLES_AT = TradeRetcode.CLIENT_DISABLES_AT
TRADE_RETCODE_LOCKED = TradeRetcode.LOCKED
TRADE_RETCODE_FROZEN = TradeRetcode.FROZEN
TRADE_RETCODE_INVALID_FILL = TradeRetcode.INVALID_FILL
TRADE_RETCODE_CONNECTION = TradeRetcode.CONNECTION
TRADE_RETCODE_ONLY_REAL = TradeRetcode.ONLY_REAL
TRADE_RETCODE_LIMIT_ORDERS = TradeRetcode.LIMIT_ORDERS
TRADE_RETCODE_LIMIT_VOLUME = TradeRetcode.LIMIT_VOLUME
TRADE_RETCODE_INVALID_ORDER = TradeRetcode.INVALID_ORDER
TRADE_RETCODE_NOT_SUPPORTED = TradeRetcode.NOT_SUPPORTED
TRADE_RETCODE_POSITION_CLOSED = TradeRetcode.POSITION_CLOSED
TRADE_RETCODE_INVALID_CLOSE_VOLUME = TradeRetcode.INVALID_CLOSE_VOLUME
TRADE_RETCODE_CLOSE_ORDER_EXIST = TradeRetcode.CLOSE_ORDER_EXIST
TRADE_RETCODE_LIMIT_POSITIONS = TradeRetcode.LIMIT_POSITIONS
TRADE_RETCODE_REJECT_CANCEL = TradeRetcode.REJECT_CANCEL
TRADE_RETCODE_LONG_ONLY = TradeRetcode.LONG_ONLY
TRADE_RETCODE_SHORT_ONLY = TradeRetcode.SHORT_ONLY
TRADE_RETCODE_CLOSE_ONLY = TradeRetcode.CLOSE_ONLY
TRADE_RETCODE_FIFO_CLOSE = TradeRetcode.FIFO_CLOSE
TRADE_RETCODE_HEDGE_PROHIBITED = TradeRetcode.HEDGE_PROHIBITED
ERROR_SUCCESS = ErrorCode.SUCCESS
ERROR_CALL_FAILED = ErrorCode.CALL_FAILED
ERROR_INVALID_PARAMS = ErrorCode.INVALID_PARAMS
ERROR_OUT_OF_MEMORY = ErrorCode.OUT_OF_MEMORY
ERROR_NOT_FOUND = ErrorCode.NOT_FOUND
ERROR_INCOMPATIBLE_VERSION = ErrorCode.INCOMPATIBLE_VERSION
ERROR_AUTHORIZATION_FAILED = ErrorCode.AUTHORIZATION_FAILED
ERROR_UNSUPPORTED = ErrorCode.UNSUPPORTED
ERROR_TRADE_DISABLED = ErrorCode.TRADE_DISABLED
ERROR_TERMINAL_BUSY = ErrorCode.TERMINAL_BUSY
ERROR_IPC_CALL_FAILED = ErrorCode.IPC_CALL_FAILED
ERROR_IPC_SEND_FAILED = ErrorCode.IPC_SEND_FAILED
ERROR_IPC_RECV_FAILED = ErrorCode.IPC_RECV_FAILED
ERROR_IPC_INITIALIZE_FAILED = ErrorCode.IPC_INITIALIZE_FAILED
ERROR_NO_IPC_CONNECTION = ErrorCode.NO_IPC_CONNECTION
ERROR_IPC_TIMEOUT = ErrorCode.IPC_TIMEOUT
# The same codes under the further names scripts also use.
RES_S_OK = ErrorCode.SUCCESS
RES_E_FAIL = ErrorCode.CALL_FAILED
RES_E_INVALID_PARAMS = ErrorCode.INVALID_PARAMS
RES_E_NO_MEMORY = ErrorCode.OUT_OF_MEMORY
RES_E_NOT_FOUND = ErrorCode.NOT_FOUND
RES_E_INVALID_VERSION = ErrorCode.INCOMPATIBLE_VERSION
RES_E_AUTH_FAILED = ErrorCode.AUTHORIZATION_FAILED
RES_E_UNSUPPORTED = ErrorCode.UNSUPPORTED
RES_E_AUTO_TRADING_DISABLED = ErrorCode.TRADE_DISABLED
RES_E_INTERNAL_FAIL = ErrorCode.IPC_CALL_FAILED
RES_E_INTERNAL_FAIL_SEND = ErrorCode.IPC_SEND_FAILED
RES_E_INTERNAL_FAIL_RECEIVE = ErrorCode.IPC_RECV_FAILED
RES_E_INTERNAL_FAIL_INIT = ErrorCode.IPC_INITIALIZE_FAILED
RES_E_INTERNAL_FAIL_CONNECT = ErrorCode.NO_IPC_CONNECTION
RES_E_INTERNAL_FAIL_TIMEOUT = ErrorCode.IPC_TIMEOUT
