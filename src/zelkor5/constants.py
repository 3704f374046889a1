"""Named values of the enumerations the terminal understands.

The module passes these numbers through unchanged; the bundled terminal
gives them the meanings below (see docs/terminal.md). Each enumeration is
an ``IntEnum`` (``TickFlag`` an ``IntFlag``), so its members compare equal
to the plain numbers the module returns, and ``Timeframe(16385)`` or
``DealType(deal.type).name`` decode a value. Every member also has a flat
name, prefix and member name joined (``TIMEFRAME_H1`` is ``Timeframe.H1``),
here and at the top level of the package.

To add a value, add the member to its class and its flat name to the list
below the class: a test checks that the two agree.
"""
import enum as _enum


class Timeframe(_enum.IntEnum):
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


class CopyTicks(_enum.IntEnum):
    """Which ticks copy_ticks_from and copy_ticks_range return."""
    ALL = -1
    INFO = 1    # quote ticks: a bid or ask change
    TRADE = 2   # trade ticks: a last price and volume


class TickFlag(_enum.IntFlag):
    """Bits of a tick's flags."""
    BID = 2
    ASK = 4
    LAST = 8
    VOLUME = 16
    BUY = 32
    SELL = 64


class TradeAction(_enum.IntEnum):
    """The action of a trade request."""
    DEAL = 1
    PENDING = 5
    SLTP = 6
    MODIFY = 7
    REMOVE = 8
    CLOSE_BY = 10


class OrderType(_enum.IntEnum):
    BUY = 0
    SELL = 1
    BUY_LIMIT = 2
    SELL_LIMIT = 3
    BUY_STOP = 4
    SELL_STOP = 5
    BUY_STOP_LIMIT = 6
    SELL_STOP_LIMIT = 7
    CLOSE_BY = 8


class OrderFilling(_enum.IntEnum):
    FOK = 0
    IOC = 1
    RETURN = 2


class OrderTime(_enum.IntEnum):
    GTC = 0
    DAY = 1
    SPECIFIED = 2
    SPECIFIED_DAY = 3


class OrderState(_enum.IntEnum):
    PLACED = 1     # a working order
    CANCELED = 2   # removed, or without the money when reached
    FILLED = 4
    EXPIRED = 6


class OrderReason(_enum.IntEnum):
    CLIENT = 0
    EXPERT = 3  # placed through this interface
    SL = 4      # made by a stop-loss
    TP = 5      # made by a take-profit
    SO = 6      # made by a stop-out


class DealType(_enum.IntEnum):
    BUY = 0
    SELL = 1
    BALANCE = 2


class DealEntry(_enum.IntEnum):
    IN = 0
    OUT = 1
    INOUT = 2    # a netting position reversed
    OUT_BY = 3   # closed by an opposite position


class DealReason(_enum.IntEnum):
    CLIENT = 0  # the deposit's balance deal
    EXPERT = 3  # deals of requests sent through this interface
    SL = 4      # a stop-loss reached
    TP = 5      # a take-profit reached
    SO = 6      # a stop-out


class PositionType(_enum.IntEnum):
    BUY = 0
    SELL = 1


class BookType(_enum.IntEnum):
    """The side of a depth-of-market entry."""
    SELL = 1
    BUY = 2


class AccountTradeMode(_enum.IntEnum):
    DEMO = 0


class AccountMarginMode(_enum.IntEnum):
    RETAIL_NETTING = 0
    RETAIL_HEDGING = 2


class AccountStopoutMode(_enum.IntEnum):
    PERCENT = 0


class SymbolCalcMode(_enum.IntEnum):
    FOREX = 0
    CFD = 2
    CFDLEVERAGE = 4


class SymbolTradeMode(_enum.IntEnum):
    FULL = 4


class SymbolTradeExecution(_enum.IntEnum):
    MARKET = 2


class SymbolOrderMode(_enum.IntFlag):
    """Bits of a symbol's order_mode: the orders it accepts."""
    MARKET = 1
    LIMIT = 2
    STOP = 4
    STOP_LIMIT = 8
    SL = 16
    TP = 32
    CLOSEBY = 64


class SymbolExpirationMode(_enum.IntFlag):
    """Bits of a symbol's expiration_mode: the expiry kinds it accepts."""
    GTC = 1
    DAY = 2
    SPECIFIED = 4
    SPECIFIED_DAY = 8


class SymbolFillingMode(_enum.IntFlag):
    """Bits of a symbol's filling_mode."""
    FOK = 1
    IOC = 2


class TerminalState(_enum.IntEnum):
    """Readiness reported while initialize and login wait."""
    CONNECTING = 1
    READY = 2
    AUTH_FAILED = 3


class TradeRetcode(_enum.IntEnum):
    """The retcode of order_check and order_send results."""
    CHECK_OK = 0              # order_check: the request would be executed
    DONE = 10009              # executed
    ERROR = 10011             # the terminal could not record the deal
    INVALID = 10013           # invalid request, unknown symbol, wrong position
    INVALID_VOLUME = 10014
    INVALID_PRICE = 10015     # a pending order's price on the wrong side of the market
    INVALID_STOPS = 10016     # a stop-loss or take-profit on the wrong side or too near
    MARKET_CLOSED = 10018
    NO_MONEY = 10019
    INVALID_EXPIRATION = 10022
    NO_CHANGES = 10025
    INVALID_FILL = 10030
    LIMIT_ORDERS = 10033
    NOT_SUPPORTED = 10035     # not answered by the bundled terminal, which supports every action
    POSITION_CLOSED = 10036
    INVALID_CLOSE_VOLUME = 10038
    LIMIT_POSITIONS = 10040


class ErrorCode(_enum.IntEnum):
    """The code of last_error(): 1 success, -1..-8 reported by the
    terminal, the rest by the module's own connection."""
    SUCCESS = 1
    CALL_FAILED = -1
    INVALID_PARAMS = -2           # also every refused argument
    OUT_OF_MEMORY = -3
    NOT_FOUND = -4
    INCOMPATIBLE_VERSION = -5
    AUTHORIZATION_FAILED = -6
    UNSUPPORTED = -7
    TRADE_DISABLED = -8           # order_send: trading through the interface is off
    IPC_CALL_FAILED = -10000
    IPC_SEND_FAILED = -10001
    IPC_RECV_FAILED = -10002
    IPC_INITIALIZE_FAILED = -10003
    NO_IPC_CONNECTION = -10004
    IPC_TIMEOUT = -10005


# Each enumeration with the prefix of its flat names.
_GROUPS = {
    Timeframe: "TIMEFRAME_", CopyTicks: "COPY_TICKS_", TickFlag: "TICK_FLAG_",
    TradeAction: "TRADE_ACTION_", OrderType: "ORDER_TYPE_", OrderFilling: "ORDER_FILLING_",
    OrderTime: "ORDER_TIME_", OrderState: "ORDER_STATE_", OrderReason: "ORDER_REASON_",
    DealType: "DEAL_TYPE_", DealEntry: "DEAL_ENTRY_", DealReason: "DEAL_REASON_",
    PositionType: "POSITION_TYPE_", BookType: "BOOK_TYPE_",
    AccountTradeMode: "ACCOUNT_TRADE_MODE_", AccountMarginMode: "ACCOUNT_MARGIN_MODE_",
    AccountStopoutMode: "ACCOUNT_STOPOUT_MODE_", SymbolCalcMode: "SYMBOL_CALC_MODE_",
    SymbolTradeMode: "SYMBOL_TRADE_MODE_", SymbolTradeExecution: "SYMBOL_TRADE_EXECUTION_",
    SymbolOrderMode: "SYMBOL_ORDER_", SymbolExpirationMode: "SYMBOL_EXPIRATION_",
    SymbolFillingMode: "SYMBOL_FILLING_",
    TerminalState: "TERMINAL_STATE_", TradeRetcode: "TRADE_RETCODE_", ErrorCode: "ERROR_",
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
ORDER_TIME_GTC = OrderTime.GTC
ORDER_TIME_DAY = OrderTime.DAY
ORDER_TIME_SPECIFIED = OrderTime.SPECIFIED
ORDER_TIME_SPECIFIED_DAY = OrderTime.SPECIFIED_DAY
ORDER_STATE_PLACED = OrderState.PLACED
ORDER_STATE_CANCELED = OrderState.CANCELED
ORDER_STATE_FILLED = OrderState.FILLED
ORDER_STATE_EXPIRED = OrderState.EXPIRED
ORDER_REASON_CLIENT = OrderReason.CLIENT
ORDER_REASON_EXPERT = OrderReason.EXPERT
ORDER_REASON_SL = OrderReason.SL
ORDER_REASON_TP = OrderReason.TP
ORDER_REASON_SO = OrderReason.SO
DEAL_TYPE_BUY = DealType.BUY
DEAL_TYPE_SELL = DealType.SELL
DEAL_TYPE_BALANCE = DealType.BALANCE
DEAL_ENTRY_IN = DealEntry.IN
DEAL_ENTRY_OUT = DealEntry.OUT
DEAL_ENTRY_INOUT = DealEntry.INOUT
DEAL_ENTRY_OUT_BY = DealEntry.OUT_BY
DEAL_REASON_CLIENT = DealReason.CLIENT
DEAL_REASON_EXPERT = DealReason.EXPERT
DEAL_REASON_SL = DealReason.SL
DEAL_REASON_TP = DealReason.TP
DEAL_REASON_SO = DealReason.SO
POSITION_TYPE_BUY = PositionType.BUY
POSITION_TYPE_SELL = PositionType.SELL
BOOK_TYPE_SELL = BookType.SELL
BOOK_TYPE_BUY = BookType.BUY
ACCOUNT_TRADE_MODE_DEMO = AccountTradeMode.DEMO
ACCOUNT_MARGIN_MODE_RETAIL_NETTING = AccountMarginMode.RETAIL_NETTING
ACCOUNT_MARGIN_MODE_RETAIL_HEDGING = AccountMarginMode.RETAIL_HEDGING
ACCOUNT_STOPOUT_MODE_PERCENT = AccountStopoutMode.PERCENT
SYMBOL_CALC_MODE_FOREX = SymbolCalcMode.FOREX
SYMBOL_CALC_MODE_CFD = SymbolCalcMode.CFD
SYMBOL_CALC_MODE_CFDLEVERAGE = SymbolCalcMode.CFDLEVERAGE
SYMBOL_TRADE_MODE_FULL = SymbolTradeMode.FULL
SYMBOL_TRADE_EXECUTION_MARKET = SymbolTradeExecution.MARKET
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
TERMINAL_STATE_CONNECTING = TerminalState.CONNECTING
TERMINAL_STATE_READY = TerminalState.READY
TERMINAL_STATE_AUTH_FAILED = TerminalState.AUTH_FAILED
TRADE_RETCODE_CHECK_OK = TradeRetcode.CHECK_OK
TRADE_RETCODE_DONE = TradeRetcode.DONE
TRADE_RETCODE_ERROR = TradeRetcode.ERROR
TRADE_RETCODE_INVALID = TradeRetcode.INVALID
TRADE_RETCODE_INVALID_VOLUME = TradeRetcode.INVALID_VOLUME
TRADE_RETCODE_INVALID_PRICE = TradeRetcode.INVALID_PRICE
TRADE_RETCODE_INVALID_STOPS = TradeRetcode.INVALID_STOPS
TRADE_RETCODE_MARKET_CLOSED = TradeRetcode.MARKET_CLOSED
TRADE_RETCODE_NO_MONEY = TradeRetcode.NO_MONEY
TRADE_RETCODE_INVALID_EXPIRATION = TradeRetcode.INVALID_EXPIRATION
TRADE_RETCODE_NO_CHANGES = TradeRetcode.NO_CHANGES
TRADE_RETCODE_INVALID_FILL = TradeRetcode.INVALID_FILL
TRADE_RETCODE_LIMIT_ORDERS = TradeRetcode.LIMIT_ORDERS
TRADE_RETCODE_NOT_SUPPORTED = TradeRetcode.NOT_SUPPORTED
TRADE_RETCODE_POSITION_CLOSED = TradeRetcode.POSITION_CLOSED
TRADE_RETCODE_INVALID_CLOSE_VOLUME = TradeRetcode.INVALID_CLOSE_VOLUME
TRADE_RETCODE_LIMIT_POSITIONS = TradeRetcode.LIMIT_POSITIONS
ERROR_SUCCESS = ErrorCode.SUCCESS
ERROR_CALL_FAILED = ErrorCode.CALL_FAILED
ERROR_INVALID_PARAMS = ErrorCode.INVALID_PARAMS
ERROR_OUT_OF_MEMORY = ErrorCode.OUT_OF_MEMORY
ERROR_NOT_FOUND = ErrorCode.NOT_FOUND
ERROR_INCOMPATIBLE_VERSION = ErrorCode.INCOMPATIBLE_VERSION
ERROR_AUTHORIZATION_FAILED = ErrorCode.AUTHORIZATION_FAILED
ERROR_UNSUPPORTED = ErrorCode.UNSUPPORTED
ERROR_TRADE_DISABLED = ErrorCode.TRADE_DISABLED
ERROR_IPC_CALL_FAILED = ErrorCode.IPC_CALL_FAILED
ERROR_IPC_SEND_FAILED = ErrorCode.IPC_SEND_FAILED
ERROR_IPC_RECV_FAILED = ErrorCode.IPC_RECV_FAILED
ERROR_IPC_INITIALIZE_FAILED = ErrorCode.IPC_INITIALIZE_FAILED
ERROR_NO_IPC_CONNECTION = ErrorCode.NO_IPC_CONNECTION
ERROR_IPC_TIMEOUT = ErrorCode.IPC_TIMEOUT
