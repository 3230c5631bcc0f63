"""The channel model: sensor types, channel types and a channel's configuration."""

from typing import Final, Literal, NoReturn, SupportsFloat, SupportsIndex, final, type_check_only

__all__ = ["ChannelConfig", "ChannelType", "RTDType", "TCType"]

# What the resistance fields and temperatures accept: float, int, bool, or any
# object with __float__ or __index__. Reads always give float.
type _Real = SupportsFloat | SupportsIndex

@final
class RTDType:
    """RTD sensor types, in wire-code order (int() gives the code).

    Not constructible: use the members. Members have identity equality;
    compare values read back from a channel type with int().
    """

    PT100: Final[RTDType]
    PT500: Final[RTDType]
    PT1000: Final[RTDType]
    Cu10: Final[RTDType]
    Cu50: Final[RTDType]
    Cu100: Final[RTDType]
    Ni100: Final[RTDType]
    Ni120: Final[RTDType]
    Ni1000: Final[RTDType]
    def __int__(self) -> int: ...

@final
class TCType:
    """Thermocouple types, in wire-code order (int() gives the code).

    Not constructible: use the members. Members have identity equality;
    compare values read back from a channel type with int().
    """

    E: Final[TCType]
    J: Final[TCType]
    K: Final[TCType]
    N: Final[TCType]
    R: Final[TCType]
    S: Final[TCType]
    T: Final[TCType]
    B: Final[TCType]
    def __int__(self) -> int: ...

class ChannelType:
    """How a channel is driven. Not constructible: build one of its variants,
    `ChannelType.RTD(member)`, `ChannelType.TC(member)` or, for an unused
    channel, `getattr(ChannelType, "None")()` (`None` is a keyword, so the
    class is not reachable with a dot; its type is `ChannelType_None`).
    """

    @final
    class RTD(ChannelType):
        """An RTD channel with its sensor type."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: RTDType) -> ChannelType.RTD: ...
        @property
        def _0(self) -> RTDType: ...
        def __len__(self) -> Literal[1]: ...
        def __getitem__(self, idx: SupportsIndex, /) -> RTDType: ...

    @final
    class TC(ChannelType):
        """A thermocouple channel with its sensor type."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: TCType) -> ChannelType.TC: ...
        @property
        def _0(self) -> TCType: ...
        def __len__(self) -> Literal[1]: ...
        def __getitem__(self, idx: SupportsIndex, /) -> TCType: ...

# At run time this class is the attribute `None` of ChannelType and is not a
# name of this module: import it for annotations only (under TYPE_CHECKING).
@final
@type_check_only
class ChannelType_None(ChannelType):
    """An unused channel."""

    __match_args__ = ()
    def __new__(cls) -> ChannelType_None: ...
    def __len__(self) -> Literal[0]: ...
    def __getitem__(self, idx: SupportsIndex, /) -> NoReturn: ...

# What ChannelConfig.channel_type reads back: always one of the variants.
type _AnyChannelType = ChannelType.RTD | ChannelType.TC | ChannelType_None

@final
class ChannelConfig:
    """One channel's configuration. The four resistances are stored as
    single-precision floats, so 0.1 reads back as 0.10000000149011612.
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
    def channel_type(self) -> _AnyChannelType: ...
    @channel_type.setter
    def channel_type(self, value: ChannelType, /) -> None: ...
    @property
    def max_resistance(self) -> float: ...
    @max_resistance.setter
    def max_resistance(self, value: _Real, /) -> None: ...
    @property
    def min_resistance(self) -> float: ...
    @min_resistance.setter
    def min_resistance(self, value: _Real, /) -> None: ...
    @property
    def shunt_resistance(self) -> float: ...
    @shunt_resistance.setter
    def shunt_resistance(self, value: _Real, /) -> None: ...
    @property
    def r_ain0(self) -> float: ...
    @r_ain0.setter
    def r_ain0(self, value: _Real, /) -> None: ...
