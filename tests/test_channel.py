"""The channel model classes: sensor types, channel type variants, configuration."""

import gc
import inspect
import json
import math
import operator
import weakref

import model
import pytest
from helpers import (
    CONFIG_FIELDS,
    FLOAT_FIELDS,
    FLT_MAX,
    RTD_MEMBERS,
    TC_MEMBERS,
    ChannelType_None,
    ChannelType_RTD,
    ChannelType_TC,
    Index,
    check_raises,
    error_of,
    expected_failure,
    run_python,
)

from kelvane import set_channel_request
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

MEMBERS = [(RTDType, n, i) for i, n in enumerate(RTD_MEMBERS)] + [(TCType, n, i) for i, n in enumerate(TC_MEMBERS)]
ALL_CLASSES = [RTDType, TCType, ChannelType, ChannelType_None, ChannelType_RTD, ChannelType_TC, ChannelConfig]
HEAPTYPE, BASETYPE, IMMUTABLE, HAVE_GC = 1 << 9, 1 << 10, 1 << 8, 1 << 14


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    flags = cls.__flags__
    assert flags & HEAPTYPE and not flags & IMMUTABLE and not flags & HAVE_GC
    assert bool(flags & BASETYPE) == (cls is ChannelType)


@pytest.mark.parametrize("cls", [c for c in ALL_CLASSES if c is not ChannelType], ids=lambda c: c.__name__)
def test_only_channel_type_subclassable(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "cls, signature",
    [
        (RTDType, None),
        (TCType, None),
        (ChannelType, None),
        (ChannelType_None, "()"),
        (ChannelType_RTD, "(_0)"),
        (ChannelType_TC, "(_0)"),
        (ChannelConfig, "(channel_type, max_resistance, min_resistance, shunt_resistance, r_ain0)"),
    ],
    ids=lambda x: getattr(x, "__name__", x),
)
def test_docs_and_text_signatures(cls, signature):
    assert cls.__text_signature__ == signature
    if signature is None:
        if cls is TCType:
            assert cls.__doc__.startswith("http") and "\n" not in cls.__doc__.strip()
        else:
            assert cls.__doc__ is None
    else:
        assert cls.__doc__ == ""
        assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("cls, name, value", MEMBERS, ids=lambda x: getattr(x, "__name__", x))
def test_sensor_members(cls, name, value):
    member = getattr(cls, name)
    assert type(member) is cls
    assert getattr(cls, name) is member
    text = f"{cls.__name__}.{name}"
    assert repr(member) == str(member) == format(member) == f"{member}" == text
    assert int(member) == value and type(int(member)) is int
    assert bool(member)
    assert member == member and not member != member
    assert member != value and not member == value
    assert hash(member) == object.__hash__(member)


def test_sensor_members_compare_by_identity():
    assert RTDType.PT100 != TCType.E
    assert {RTDType.PT100: 1, TCType.E: 2}[RTDType.PT100] == 1
    assert len({*[getattr(RTDType, n) for n in RTD_MEMBERS], *[getattr(TCType, n) for n in TC_MEMBERS]}) == 17
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(RTDType.PT100, RTDType.PT500)
    with pytest.raises(TypeError):
        operator.index(RTDType.PT500)
    with pytest.raises(TypeError):
        [0, 1][TCType.J]
    assert not hasattr(RTDType, "__match_args__") and not hasattr(TCType, "__match_args__")


@pytest.mark.parametrize(
    "cls, args, kwargs, name",
    [
        (RTDType, (), {}, "RTDType"),
        (TCType, (3,), {}, "TCType"),
        (RTDType, (), {"x": 1}, "RTDType"),
        (ChannelType, (), {}, "ChannelType"),
        (ChannelType, (1, 2), {"_0": 3}, "ChannelType"),
    ],
)
def test_construction_refused(cls, args, kwargs, name):
    with pytest.raises(TypeError) as ei:
        cls(*args, **kwargs)
    check_raises(ei, TypeError, f"No constructor defined for {name}")


def test_python_subclass_of_channel_type_refuses_with_its_name():
    class MyChannel(ChannelType):
        pass

    with pytest.raises(TypeError) as ei:
        MyChannel(RTDType.PT100)
    check_raises(ei, TypeError, "No constructor defined for MyChannel")


def test_no_instance_dict_or_weakref(cfg_rtd):
    for obj in (RTDType.PT100, TCType.K, ChannelType_None(), ChannelType.RTD(RTDType.PT100), cfg_rtd):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.foo = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)


def test_variant_classes():
    assert ChannelType_None.__name__ == "ChannelType_None"
    assert ChannelType.RTD.__name__ == "ChannelType_RTD" and ChannelType.TC.__name__ == "ChannelType_TC"
    for cls in (ChannelType_None, ChannelType_RTD, ChannelType_TC):
        assert cls.__bases__ == (ChannelType,)
    assert ChannelType_None.__match_args__ == ()
    assert ChannelType_RTD.__match_args__ == ("_0",) and ChannelType_TC.__match_args__ == ("_0",)
    assert isinstance(ChannelType.TC(TCType.K), ChannelType)
    assert ChannelType.RTD(_0=RTDType.Ni120)._0.__repr__() == "RTDType.Ni120"


@pytest.mark.parametrize(
    "variant, member",
    [(ChannelType.RTD, getattr(RTDType, n)) for n in RTD_MEMBERS]
    + [(ChannelType.TC, getattr(TCType, n)) for n in TC_MEMBERS],
    ids=repr,
)
def test_variant_payload(variant, member):
    v = variant(member)
    assert type(v) is variant and len(v) == 1 and bool(v)
    for got in (v._0, v[0], v[False]):
        assert type(got) is type(member) and repr(got) == repr(member) and int(got) == int(member)
        assert got is not member and got != member
    assert v._0 is not v._0 and v[0] is not v[0]


def test_none_variant():
    v = ChannelType_None()
    assert type(v) is ChannelType_None and len(v) == 0 and not v
    assert not hasattr(v, "_0")
    with pytest.raises(IndexError) as ei:
        v[0]
    check_raises(ei, IndexError, "tuple index out of range")


def test_variant_objects_compare_by_identity():
    a, b = ChannelType.RTD(RTDType.PT100), ChannelType.RTD(RTDType.PT100)
    assert a == a and a != b
    assert {a: 1, b: 2}[a] == 1
    assert repr(a).startswith("<builtins.ChannelType_RTD object at 0x")


def test_variant_payload_read_only():
    v = ChannelType.RTD(RTDType.PT100)
    with pytest.raises(AttributeError):
        v._0 = RTDType.PT500
    with pytest.raises(AttributeError):
        del v._0
    assert int(v._0) == 0


@pytest.mark.parametrize("idx", [1, 2, 2**64 - 1, True, Index(1)], ids=repr)
@pytest.mark.parametrize("v", [ChannelType.RTD(RTDType.PT100), ChannelType.TC(TCType.B), ChannelType_None()], ids=repr)
def test_subscript_out_of_range(v, idx):
    with pytest.raises(IndexError) as ei:
        v[idx]
    check_raises(ei, IndexError, "tuple index out of range")


@pytest.mark.parametrize("idx", [-1, -(2**70), 2**64, 0.0, "0", None, Index(-1), Index(0.5)], ids=repr)
@pytest.mark.parametrize("v", [ChannelType.TC(TCType.B), ChannelType_None()], ids=repr)
def test_subscript_conversion_errors(v, idx):
    etype, message = expected_failure("idx", error_of(model.to_u64, idx))
    with pytest.raises(etype) as ei:
        v[idx]
    check_raises(ei, etype, message)


@pytest.mark.parametrize(
    "use",
    [iter, list, tuple, reversed, lambda v: [*v], lambda v: 0 in v],
    ids=["iter", "list", "tuple", "reversed", "star", "in"],
)
@pytest.mark.parametrize("v", [ChannelType.RTD(RTDType.PT100), ChannelType_None()], ids=repr)
def test_variants_not_iterable(v, use):
    with pytest.raises(TypeError):
        use(v)


def _describe(v):
    match v:
        case ChannelType.RTD(RTDType.PT500):
            return "canonical member"  # never: read-back members are new objects
        case ChannelType.RTD(t):
            return f"rtd {t!r} {int(t)}"
        case ChannelType.TC(_0=t):
            return f"tc {t}"
        case ChannelType_None():
            return "none"
        case _:
            return "other"


@pytest.mark.parametrize(
    "v, text",
    [
        (ChannelType.RTD(RTDType.PT500), "rtd RTDType.PT500 1"),
        (ChannelType.TC(TCType.B), "tc TCType.B"),
        (ChannelType_None(), "none"),
        (RTDType.PT500, "other"),
        ((RTDType.PT500,), "other"),
    ],
    ids=repr,
)
def test_match_statements(v, text):
    assert _describe(v) == text


def test_match_base_class_pattern():
    for v in (ChannelType_None(), ChannelType.RTD(RTDType.Cu10), ChannelType.TC(TCType.E)):
        match v:
            case ChannelType():
                pass
            case _:
                pytest.fail("variant did not match ChannelType()")


def test_class_attribute_rebinding_does_not_affect_module(monkeypatch, cfg_rtd):
    original = ChannelType.RTD
    monkeypatch.setattr(ChannelType, "RTD", ChannelType.TC)
    monkeypatch.setattr(RTDType, "PT100", TCType.B)
    assert type(cfg_rtd.channel_type) is original
    assert repr(cfg_rtd.channel_type._0) == "RTDType.PT100"
    assert set_channel_request(0, cfg_rtd, 0)[10:12] == b"\x01\x00"


FAMILY = [ChannelType_RTD, ChannelType_TC, ChannelType_None, ChannelType]


@pytest.mark.parametrize(
    "source, target", [(s, t) for s in FAMILY[:3] for t in FAMILY if s is not t], ids=lambda c: c.__name__
)
def test_class_assignment_cannot_change_a_variants_kind(source, target):
    v = {ChannelType_RTD: ChannelType.RTD(RTDType.Ni1000), ChannelType_TC: ChannelType.TC(TCType.B)}.get(
        source, ChannelType_None()
    )
    with pytest.raises(TypeError, match="__class__ assignment"):
        v.__class__ = target
    assert type(v) is source


def test_replaced_constructors_cannot_make_objects_without_a_kind():
    # object.__new__ in place of the constructors would give objects whose
    # class and tag disagree; the family's allocator refuses to make them.
    proc = run_python(
        """
        import json, kelvane
        from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, TCType
        ChannelType.__new__ = lambda cls, *args: object.__new__(cls)
        del ChannelType.RTD.__new__
        class Mine(ChannelType):
            pass
        cfg = ChannelConfig(ChannelType.TC(TCType.K), 1, 2, 3, 4)
        results = []
        for make in (ChannelType, ChannelType.RTD, lambda: ChannelConfig(Mine(), 1, 2, 3, 4),
                     lambda: setattr(cfg, "channel_type", Mine())):
            try:
                results.append(repr(make()))
            except TypeError as exc:
                results.append(str(exc))
        results.append(kelvane.set_channel_request(1, cfg, 1)[10:12].hex())
        print(json.dumps(results))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [
        "cannot create 'builtins.ChannelType' instances",
        "cannot create 'builtins.ChannelType_RTD' instances",
        "argument 'channel_type': 'Mine' object cannot be converted to 'ChannelType'",
        "argument 'channel_type': 'Mine' object cannot be converted to 'ChannelType'",
        "0202",
    ]


# --- ChannelConfig -------------------------------------------------------


def test_config_construction(cfg_rtd):
    ct = ChannelType.TC(TCType.K)
    by_kw = ChannelConfig(r_ain0=1.0, shunt_resistance=2.0, min_resistance=3.0, max_resistance=4.0, channel_type=ct)
    by_pos = ChannelConfig(ct, 4.0, 3.0, 2.0, 1.0)
    for cfg in (by_kw, by_pos):
        assert [getattr(cfg, f) for f in FLOAT_FIELDS] == [4.0, 3.0, 2.0, 1.0]
        assert type(cfg.channel_type) is ChannelType_TC and int(cfg.channel_type._0) == 2
    assert set_channel_request(0, by_kw, 0) == set_channel_request(0, by_pos, 0)
    assert by_kw != by_pos and by_kw == by_kw
    assert repr(cfg_rtd).startswith("<builtins.ChannelConfig object at 0x")


@pytest.mark.parametrize(
    "cls, args, kwargs",
    [
        (ChannelConfig, (ChannelType_None(), 1, 2, 3), {"r_ain0": 4}),
        (ChannelType_RTD, (), {"_0": RTDType.Cu50}),
        (ChannelType_TC, (TCType.K,), {}),
        (ChannelType_None, (), {}),
    ],
    ids=lambda c: c.__name__ if isinstance(c, type) else None,
)
def test_constructor_runs_an_init_put_on_the_class(monkeypatch, cls, args, kwargs):
    # A call of the class skips tp_new's tuple and dict, and tp_init; once
    # Python code gives the class an __init__, that must run all the same.
    # __new__ called directly goes through tp_new either way.
    assert type(cls.__new__(cls, *args, **kwargs)) is cls
    calls = []
    monkeypatch.setattr(cls, "__init__", lambda self, *a, **k: calls.append((len(a), sorted(k))))
    assert type(cls(*args, **kwargs)) is cls
    assert calls == [(len(args), sorted(kwargs))]
    monkeypatch.undo()
    assert type(cls(*args, **kwargs)) is cls and len(calls) == 1


def test_config_getters_return_fresh_objects(cfg_rtd):
    assert cfg_rtd.channel_type is not cfg_rtd.channel_type
    assert type(cfg_rtd.channel_type) is ChannelType_RTD
    for field in FLOAT_FIELDS:
        a, b = getattr(cfg_rtd, field), getattr(cfg_rtd, field)
        assert type(a) is float and a == b and a is not b


class HasFloat:
    def __float__(self):
        return -2.5


class HasIndex:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "value, stored",
    [
        (100, 100.0),
        (0.1, 0.10000000149011612),
        (True, 1.0),
        (-1.0, -1.0),
        (-0.0, -0.0),
        (1e39, math.inf),
        (-1e39, -math.inf),
        (10**300, math.inf),
        (FLT_MAX + 2.0**102, FLT_MAX),
        (FLT_MAX + 2.0**103, math.inf),
        (1e-46, 0.0),
        (2.0**-149, 2.0**-149),
        (HasFloat(), -2.5),
        (HasIndex(), 7.0),
    ],
    ids=repr,
)
def test_config_narrowing(value, stored, cfg_rtd):
    cfg = ChannelConfig(ChannelType_None(), value, value, value, value)
    for field in FLOAT_FIELDS:
        got = getattr(cfg, field)
        assert got == stored and math.copysign(1, got) == math.copysign(1, stored)
        setattr(cfg_rtd, field, value)
        assert getattr(cfg_rtd, field) == stored


def test_config_nan():
    cfg = ChannelConfig(ChannelType_None(), float("nan"), 0, 0, 0)
    assert math.isnan(cfg.max_resistance)
    cfg.r_ain0 = float("nan")
    assert math.isnan(cfg.r_ain0)


@pytest.mark.parametrize("field", FLOAT_FIELDS)
@pytest.mark.parametrize("value", ["1", None, 10**400, [1.0]], ids=repr)
def test_config_field_errors_keep_old_value(field, value, cfg_rtd):
    etype, message = expected_failure(field, error_of(model.to_double, value))
    args = [ChannelType_None(), 1.0, 2.0, 3.0, 4.0]
    args[1 + FLOAT_FIELDS.index(field)] = value
    with pytest.raises(etype) as ei:
        ChannelConfig(*args)
    check_raises(ei, etype, message)
    old = getattr(cfg_rtd, field)
    with pytest.raises(etype) as ei:
        setattr(cfg_rtd, field, value)
    check_raises(ei, etype, message)
    assert getattr(cfg_rtd, field) == old


@pytest.mark.parametrize(
    "value, qualname", [("x", "str"), (RTDType.PT100, "RTDType"), (None, "NoneType"), (ChannelType, "type")], ids=repr
)
def test_config_channel_type_setter_errors(value, qualname, cfg_rtd):
    with pytest.raises(TypeError) as ei:
        cfg_rtd.channel_type = value
    check_raises(ei, TypeError, f"argument 'channel_type': '{qualname}' object cannot be converted to 'ChannelType'")
    assert type(cfg_rtd.channel_type) is ChannelType_RTD


def test_config_channel_type_setter(cfg_rtd):
    cfg_rtd.channel_type = ChannelType_None()
    assert type(cfg_rtd.channel_type) is ChannelType_None
    cfg_rtd.channel_type = ChannelType.TC(TCType.T)
    assert repr(cfg_rtd.channel_type[0]) == "TCType.T"


@pytest.mark.parametrize("field", CONFIG_FIELDS)
def test_config_delete_refused(field, cfg_rtd):
    before = set_channel_request(0, cfg_rtd, 0)
    with pytest.raises(AttributeError) as ei:
        delattr(cfg_rtd, field)
    check_raises(ei, AttributeError, "can't delete attribute")
    assert set_channel_request(0, cfg_rtd, 0) == before
