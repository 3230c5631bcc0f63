"""The channel model: sensor types, channel types and a channel's configuration.

A channel is configured by a `ChannelConfig`, which holds a `ChannelType`
variant (unused, RTD with an `RTDType`, or thermocouple with a `TCType`) and
four resistance values; `kelvane.set_channel_request` turns it into a packet.

None of these classes defines equality or hashing: an object equals only
itself and hashes by identity. A sensor member read back from a variant
(`v._0`, `v[0]`) is a new object, so compare members by `int()`.
"""

from typing import Final, Literal, NoReturn, SupportsFloat, SupportsIndex, final, type_check_only

__all__ = ["ChannelConfig", "ChannelType", "RTDType", "TCType"]

# What the resistance fields and temperatures accept: float, int, bool, or any
# object with __float__ or __index__. Reads always give float.
type _Real = SupportsFloat | SupportsIndex

@final
class RTDType:
    """RTD sensor types: platinum, copper and nickel elements, each named by
    its nominal resistance in ohms.

    A closed enumeration: the members are class attributes and the class
    cannot be called (`TypeError`). `int()` gives a member's code, 0 to 8 in
    declaration order, which is also its sensor byte on the wire; `repr()`
    and `str()` give `RTDType.<name>`. Members are not integers and are not
    ordered (`<` raises `TypeError`).

    A member read back from a channel type is a new object: `==`, dictionary
    keys and value patterns (`case RTDType.PT100:`) never match it. Compare
    it by `int()`.

    Example:
        >>> RTDType.PT1000, int(RTDType.PT1000)
        (RTDType.PT1000, 2)
        >>> sensor = ChannelType.RTD(RTDType.PT1000)._0
        >>> sensor == RTDType.PT1000, int(sensor) == int(RTDType.PT1000)
        (False, True)
    """

    PT100: Final[RTDType]
    """Platinum, 100 ohms nominal; code 0."""
    PT500: Final[RTDType]
    """Platinum, 500 ohms nominal; code 1."""
    PT1000: Final[RTDType]
    """Platinum, 1000 ohms nominal; code 2."""
    Cu10: Final[RTDType]
    """Copper, 10 ohms nominal; code 3."""
    Cu50: Final[RTDType]
    """Copper, 50 ohms nominal; code 4."""
    Cu100: Final[RTDType]
    """Copper, 100 ohms nominal; code 5."""
    Ni100: Final[RTDType]
    """Nickel, 100 ohms nominal; code 6."""
    Ni120: Final[RTDType]
    """Nickel, 120 ohms nominal; code 7."""
    Ni1000: Final[RTDType]
    """Nickel, 1000 ohms nominal; code 8."""
    def __int__(self) -> int:
        """The member's code, 0 to 8: its position in declaration order."""

@final
class TCType:
    """Thermocouple types, by their standard letters.

    A closed enumeration: the members are class attributes and the class
    cannot be called (`TypeError`). `int()` gives a member's code, 0 to 7 in
    declaration order (`B` comes last), which is also its sensor byte on the
    wire; `repr()` and `str()` give `TCType.<name>`. Members are not
    integers and are not ordered.

    A member read back from a channel type is a new object: `==`, dictionary
    keys and value patterns (`case TCType.K:`) never match it. Compare it by
    `int()`.

    Example:
        >>> str(TCType.K), int(TCType.K), int(TCType.B)
        ('TCType.K', 2, 7)
        >>> TCType(2)
        Traceback (most recent call last):
            ...
        TypeError: No constructor defined for TCType
    """

    E: Final[TCType]
    """Type E; code 0."""
    J: Final[TCType]
    """Type J; code 1."""
    K: Final[TCType]
    """Type K; code 2."""
    N: Final[TCType]
    """Type N; code 3."""
    R: Final[TCType]
    """Type R; code 4."""
    S: Final[TCType]
    """Type S; code 5."""
    T: Final[TCType]
    """Type T; code 6."""
    B: Final[TCType]
    """Type B; code 7."""
    def __int__(self) -> int:
        """The member's code, 0 to 7: its position in declaration order."""

class ChannelType:
    """How a channel is driven: unused, RTD or thermocouple.

    `ChannelType` itself cannot be called (`TypeError`); build one of its
    three variants, which are its class attributes: `ChannelType.RTD(member)`,
    `ChannelType.TC(member)` or, for an unused channel,
    `getattr(ChannelType, "None")()` (`None` is a keyword, so that class is
    not reachable with a dot; the stubs call it `ChannelType_None`). The
    variant is the channel kind on the wire: 0x00 unused, 0x01 RTD, 0x02
    thermocouple.

    Variants are immutable and behave like a read-only tuple of their
    sensor member: `len(v)` (0 or 1), `v[0]` (the same as `v._0`), truth by
    length (an unused channel is false) and positional `match` patterns.
    They cannot be iterated or unpacked, and they compare by identity.

    The sensor member read back (`v._0`, `v[0]`, a `match` capture) is a new
    object each time, so `==`, dictionary keys and a pattern such as
    `case ChannelType.RTD(RTDType.PT100):` never match it, silently. Match
    the variant by class and compare the member by `int()`.

    Example:
        >>> def describe(v: ChannelType) -> str:
        ...     match v:
        ...         case ChannelType.RTD(sensor) if int(sensor) == int(RTDType.PT100):
        ...             return "PT100"
        ...         case ChannelType.RTD(sensor):
        ...             return f"other RTD: {sensor}"
        ...         case ChannelType.TC(sensor):
        ...             return f"thermocouple: {sensor}"
        ...         case _:
        ...             return "unused"
        >>> describe(ChannelType.RTD(RTDType.PT100)), describe(ChannelType.TC(TCType.K))
        ('PT100', 'thermocouple: TCType.K')
        >>> describe(getattr(ChannelType, "None")())
        'unused'
    """

    @final
    class RTD(ChannelType):
        """An RTD channel with its sensor type: `ChannelType.RTD(member)`.

        Takes one `RTDType` member, by position or as `_0=`; anything else
        raises `TypeError` (``argument '_0': ...``). `len(v)` is 1, `v[0]`
        and `v._0` give the member, and `match` binds it positionally.

        Example:
            >>> rtd = ChannelType.RTD(RTDType.Ni100)
            >>> isinstance(rtd, ChannelType), len(rtd), rtd[0]
            (True, 1, RTDType.Ni100)
            >>> ChannelType.RTD(TCType.K)
            Traceback (most recent call last):
                ...
            TypeError: argument '_0': 'TCType' object cannot be converted to 'RTDType'
        """

        __match_args__ = ("_0",)
        def __new__(cls, _0: RTDType) -> ChannelType.RTD: ...
        @property
        def _0(self) -> RTDType:
            """The sensor type, as a new `RTDType` object on every read (read-only).

            Being new, it is not `==` to the class attribute, not the same
            dictionary key and does not match `case RTDType.PT100:`; compare
            it by `int()`.

            Example:
                >>> sensor = ChannelType.RTD(RTDType.PT100)._0
                >>> sensor, sensor == RTDType.PT100, int(sensor) == int(RTDType.PT100)
                (RTDType.PT100, False, True)
            """
        def __len__(self) -> Literal[1]:
            """Always 1: the variant holds one sensor member."""
        def __getitem__(self, idx: SupportsIndex, /) -> RTDType:
            """`v[0]` is `v._0`; any other index raises `IndexError`, and a
            negative one `OverflowError` (indices do not count from the end)."""

    @final
    class TC(ChannelType):
        """A thermocouple channel with its sensor type: `ChannelType.TC(member)`.

        Takes one `TCType` member, by position or as `_0=`; anything else
        raises `TypeError` (``argument '_0': ...``). `len(v)` is 1, `v[0]`
        and `v._0` give the member, and `match` binds it positionally.

        Example:
            >>> tc = ChannelType.TC(_0=TCType.J)
            >>> len(tc), tc[0]
            (1, TCType.J)
        """

        __match_args__ = ("_0",)
        def __new__(cls, _0: TCType) -> ChannelType.TC: ...
        @property
        def _0(self) -> TCType:
            """The sensor type, as a new `TCType` object on every read (read-only).

            Being new, it is not `==` to the class attribute, not the same
            dictionary key and does not match `case TCType.K:`; compare it
            by `int()`.

            Example:
                >>> sensor = ChannelType.TC(TCType.K)._0
                >>> sensor == TCType.K, int(sensor) == int(TCType.K)
                (False, True)
            """
        def __len__(self) -> Literal[1]:
            """Always 1: the variant holds one sensor member."""
        def __getitem__(self, idx: SupportsIndex, /) -> TCType:
            """`v[0]` is `v._0`; any other index raises `IndexError`, and a
            negative one `OverflowError` (indices do not count from the end)."""

# At run time this class is the attribute `None` of ChannelType and is not a
# name of this module: import it for annotations only (under TYPE_CHECKING).
@final
@type_check_only
class ChannelType_None(ChannelType):
    """An unused channel: `getattr(ChannelType, "None")()`.

    Takes no arguments and holds no sensor: `len(v)` is 0, so `v` is false,
    and `v[i]` always raises (`IndexError`; `OverflowError` for a negative
    `i`). Its packet has no sensor byte.
    At run time the class is reached only as `getattr(ChannelType, "None")`;
    import this name for annotations only (under `TYPE_CHECKING`).

    Example:
        >>> unused = getattr(ChannelType, "None")()
        >>> len(unused), bool(unused), type(unused).__name__
        (0, False, 'ChannelType_None')
    """

    __match_args__ = ()
    def __new__(cls) -> ChannelType_None: ...
    def __len__(self) -> Literal[0]:
        """Always 0: an unused channel holds no sensor."""
    def __getitem__(self, idx: SupportsIndex, /) -> NoReturn:
        """Always raises: `IndexError`, or `OverflowError` for a negative index."""

# What ChannelConfig.channel_type reads back: always one of the variants.
type _AnyChannelType = ChannelType.RTD | ChannelType.TC | ChannelType_None

@final
class ChannelConfig:
    """One channel's configuration: its channel type and four resistance values.

    All five fields can be passed by position or keyword, and are read-write
    attributes that cannot be deleted (`AttributeError`); no other attribute
    can be set. The four resistances accept a `float`, `int`, `bool` or any
    object with `__float__` or `__index__`, and are stored as IEEE 754
    binary32, narrowed with round-to-nearest-even, so 0.1 reads back as
    0.10000000149011612 and a magnitude beyond binary32 as an infinity.
    kelvane checks no range, unit or relation between them. Every read
    returns a new object; a failed assignment leaves the field as it was.

    `kelvane.set_channel_request` copies the configuration when it is
    called, so changing it afterwards does not change a packet already built.

    Raises:
        TypeError: `channel_type` is not a `ChannelType` variant, or a
            resistance is not a real number; the message begins with
            ``argument '<field>':``.
        OverflowError: an `int` resistance too large for a double.

    Example:
        >>> cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400, 18, 1000, 0.1)
        >>> cfg.max_resistance, cfg.r_ain0
        (400.0, 0.10000000149011612)
        >>> cfg.shunt_resistance = 1e39
        >>> cfg.shunt_resistance
        inf
        >>> cfg.min_resistance = "18"
        Traceback (most recent call last):
            ...
        TypeError: argument 'min_resistance': must be real number, not str
    """

    def __new__(
        cls,
        channel_type: ChannelType,
        max_resistance: _Real,
        min_resistance: _Real,
        shunt_resistance: _Real,
        r_ain0: _Real,
    ) -> ChannelConfig: ...
    @property
    def channel_type(self) -> _AnyChannelType:
        """How the channel is driven, as a `ChannelType` variant.

        Set it to any variant; a read returns a new object of the stored
        variant's class, with a new sensor member (compare that by `int()`).
        Anything else, a sensor member included, raises `TypeError`
        (``argument 'channel_type': ...``) and keeps the old value.

        Example:
            >>> cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
            >>> cfg.channel_type = ChannelType.TC(TCType.K)
            >>> isinstance(cfg.channel_type, ChannelType.TC), int(cfg.channel_type[0])
            (True, 2)
        """
    @channel_type.setter
    def channel_type(self, value: ChannelType, /) -> None: ...
    @property
    def max_resistance(self) -> float:
        """Maximum resistance, stored and sent as an IEEE 754 binary32.

        Set it to a `float`, `int`, `bool` or an object with `__float__` or
        `__index__`; the value is narrowed with round-to-nearest-even, and no
        unit or range is checked. Anything else raises `TypeError`
        (``argument 'max_resistance':``), an `int` too large for a double
        `OverflowError`; either way the field keeps its value.

        Example:
            >>> ChannelConfig(ChannelType.RTD(RTDType.PT100), 400, 18.0, 1000.0, 10.0).max_resistance
            400.0
        """
    @max_resistance.setter
    def max_resistance(self, value: _Real, /) -> None: ...
    @property
    def min_resistance(self) -> float:
        """Minimum resistance, stored and sent as an IEEE 754 binary32.

        Set it to a `float`, `int`, `bool` or an object with `__float__` or
        `__index__`; the value is narrowed with round-to-nearest-even, and no
        unit or range is checked. Anything else raises `TypeError`
        (``argument 'min_resistance':``), an `int` too large for a double
        `OverflowError`; either way the field keeps its value.

        Example:
            >>> ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, -1e39, 1000.0, 10.0).min_resistance
            -inf
        """
    @min_resistance.setter
    def min_resistance(self, value: _Real, /) -> None: ...
    @property
    def shunt_resistance(self) -> float:
        """Shunt resistance, stored and sent as an IEEE 754 binary32.

        Set it to a `float`, `int`, `bool` or an object with `__float__` or
        `__index__`; the value is narrowed with round-to-nearest-even, and no
        unit or range is checked. Anything else raises `TypeError`
        (``argument 'shunt_resistance':``), an `int` too large for a double
        `OverflowError`; either way the field keeps its value.

        Example:
            >>> ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, True, 10.0).shunt_resistance
            1.0
        """
    @shunt_resistance.setter
    def shunt_resistance(self, value: _Real, /) -> None: ...
    @property
    def r_ain0(self) -> float:
        """The `r_ain0` resistance, stored and sent as an IEEE 754 binary32.

        Set it to a `float`, `int`, `bool` or an object with `__float__` or
        `__index__`; the value is narrowed with round-to-nearest-even, and no
        unit or range is checked. Anything else raises `TypeError`
        (``argument 'r_ain0':``), an `int` too large for a double
        `OverflowError`; either way the field keeps its value.

        Example:
            >>> ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 0.1).r_ain0
            0.10000000149011612
        """
    @r_ain0.setter
    def r_ain0(self, value: _Real, /) -> None: ...
