"""Differential property tests: every callable of kelvane against the model in
model.py, over valid and invalid input. Valid input must give identical bytes
(or identical objects), invalid input the same exception type, message and
cause, and user code must be called in the same order with the same effect.
"""

import math
import struct

import model
import pytest
from helpers import (
    CONFIG_FIELDS,
    FLOAT_FIELDS,
    RTD_MEMBERS,
    TC_MEMBERS,
    ChannelType_None,
    ChannelType_RTD,
    ChannelType_TC,
    examples,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

PanicException = model._panic_cls()

# Hooks that return a float or int subclass are deprecated by the interpreter;
# both sides warn alike, and the warnings would only flood the report.
pytestmark = [
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
    pytest.mark.filterwarnings("ignore:Generating overly large repr"),
]


def fuzz(count, **extra):
    return settings(
        max_examples=examples(count),
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
        **extra,
    )


# ---------------------------------------------------------------------------
# Objects with hooks. Each hook call is logged, so that both sides can be
# shown to examine the same arguments in the same order.

LOG = []


class BadStr:
    def __str__(self):
        raise ValueError("no text for this one")


class TypeErrorSub(TypeError):
    pass


class Hook:
    """Returns `result` from its hook, or raises it if it is an exception."""

    def __init__(self, result):
        self.result = result

    def _fire(self, hook):
        LOG.append((id(self), hook))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"{type(self).__name__}({self.result!r})"


class IndexHook(Hook):
    def __index__(self):
        return self._fire("index")


class FloatHook(Hook):
    def __float__(self):
        return self._fire("float")


class BothHooks(Hook):
    def __index__(self):
        return self._fire("index")

    def __float__(self):
        return self._fire("float")


class SubInt(int):
    """An int subclass: converted from its value, its hooks never called."""

    def __index__(self):
        LOG.append((id(self), "subint-index"))
        return 7

    def __float__(self):
        LOG.append((id(self), "subint-float"))
        return 7.0


class SubFloat(float):
    def __float__(self):
        LOG.append((id(self), "subfloat-float"))
        return 7.0

    def __index__(self):
        LOG.append((id(self), "subfloat-index"))
        return 7


class Impostor:
    """Claims to be whatever class it is given through __class__."""

    def __init__(self, cls):
        self._cls = cls

    @property
    def __class__(self):
        return self._cls

    def __repr__(self):
        return f"Impostor({self._cls.__name__})"


class PyChannelType(ChannelType):
    """A Python subclass of the one subclassable class."""


def with_cause(exc, cause):
    exc.__cause__ = cause
    return exc


# Fresh exception instances: each example gets its own.
EXCEPTIONS = [
    lambda: TypeError("from user code"),
    lambda: with_cause(TypeError("with a cause"), ValueError("the cause")),
    lambda: TypeError(BadStr()),
    lambda: TypeErrorSub("a TypeError subclass"),
    lambda: ValueError("value"),
    lambda: OverflowError("overflow"),
    lambda: RuntimeError("runtime"),
    lambda: ZeroDivisionError(),
    lambda: MemoryError(),
    lambda: StopIteration(1),
    lambda: KeyboardInterrupt(),
    lambda: SystemExit(3),
    lambda: PanicException("panic from user code"),
    lambda: PanicException(BadStr()),
    lambda: PanicException(),
]
exceptions = st.sampled_from(EXCEPTIONS).map(lambda make: make())

# ---------------------------------------------------------------------------
# Numbers.

INT_BOUNDARIES = [0, 1, 15, 16, 0xEF, 0xF0, 0xFF, 0x100, 2**31, 2**32, 2**53, 2**63, 2**64, 2**65, 2**1024]
boundary_ints = st.builds(
    lambda b, d, neg: -(b + d) if neg else b + d,
    st.sampled_from(INT_BOUNDARIES),
    st.integers(-2, 2),
    st.booleans(),
)
plain_ints = st.one_of(boundary_ints, st.integers(), st.integers(0, 2**64 - 1), st.integers(0, 2**32 - 1))
ints = st.one_of(plain_ints, st.booleans(), plain_ints.map(SubInt))


def widen(bits32):
    return model.bits_double(model.f32_widened_bits(bits32))


FLT_MAX = widen(0x7F7F_FFFF)
NEAR_LIMITS = [
    FLT_MAX,
    2.0**128,
    2.0**128 - 2.0**103,  # halfway between FLT_MAX and 2**128: rounds to inf
    2.0**-149,  # smallest subnormal
    2.0**-150,  # halfway to zero: rounds to zero (even)
    3 * 2.0**-151,  # rounds up to the smallest subnormal
    2.0**-126,  # smallest normal
    2.0**-126 - 2.0**-150,  # halfway between the largest subnormal and 2**-126
    1e39,
    1e-46,
    0.1,
    -1.0,
    0.0,
]


@st.composite
def halfway_doubles(draw):
    """The exact midpoint of two neighbouring binary32 values, or one double
    step beside it."""
    low = draw(st.integers(0, 0x7F7F_FFFE))
    a, b = widen(low), widen(low + 1)
    mid = (a + b) / 2
    mid = draw(st.sampled_from([mid, math.nextafter(mid, math.inf), math.nextafter(mid, -math.inf)]))
    return -mid if draw(st.booleans()) else mid


doubles = st.one_of(
    st.integers(0, 2**64 - 1).map(model.bits_double),  # any bit pattern, NaN payloads included
    st.floats(),
    st.floats(width=32),
    halfway_doubles(),
    st.builds(
        lambda x, step, neg: -math.nextafter(x, math.inf if step else -math.inf) if neg else x,
        st.sampled_from(NEAR_LIMITS),
        st.booleans(),
        st.booleans(),
    ),
)

# What a hook may return: the plain answers, the odd ones, or an exception.
hook_results = st.one_of(
    plain_ints,
    st.booleans(),
    plain_ints.map(SubInt),
    doubles,
    doubles.map(SubFloat),
    st.sampled_from(["1", None, b"1", 1j]),
    exceptions,
)


def members():
    return st.sampled_from([getattr(RTDType, m) for m in RTD_MEMBERS] + [getattr(TCType, m) for m in TC_MEMBERS])


variant_objects = st.one_of(
    st.just(None).map(lambda _: ChannelType_None()),
    st.sampled_from(RTD_MEMBERS).map(lambda m: ChannelType_RTD(getattr(RTDType, m))),
    st.sampled_from(TC_MEMBERS).map(lambda m: ChannelType_TC(getattr(TCType, m))),
)

oddballs = st.one_of(
    st.sampled_from(
        ["", "1", "1.5", "nan", None, [], (), {}, b"\x01", 1j, object(), ChannelType, RTDType, ChannelConfig]
    ),
    st.sampled_from([ChannelConfig, ChannelType, ChannelType_RTD, RTDType, TCType]).map(Impostor),
    members(),
    variant_objects,
)

numbers = st.one_of(
    ints,
    doubles,
    doubles.map(SubFloat),
    st.builds(IndexHook, hook_results),
    st.builds(FloatHook, hook_results),
    st.builds(BothHooks, hook_results),
)
anything = st.one_of(numbers, oddballs)

# ---------------------------------------------------------------------------
# Calls: positional, keyword, missing, duplicate and unknown arguments.


class KeyStr(str):
    """A keyword name that is a str subclass with its own equality."""

    def __eq__(self, other):
        return False

    def __hash__(self):
        return hash(str(self)) + 1


def rebuilt(name):
    # An equal keyword that is not the interned parameter name.
    return "".join(list(name))


@st.composite
def call_shapes(draw, names, values, complete=False):
    """(args, kwargs) for a callable with parameters `names`; `values` maps a
    parameter name to the strategy of its values."""
    chosen = {name: draw(values(name)) for name in names}
    n = len(names)
    if complete:
        npos = draw(st.integers(0, n))
    else:
        npos = draw(st.integers(0, n + 2))
    args = [chosen[name] for name in names[:npos]] + [draw(anything) for _ in range(npos - n)]
    rest = list(draw(st.permutations(names[npos:])))
    if not complete:
        rest = [name for name in rest if draw(st.integers(0, 4))]  # now and then one goes missing
    pairs = [(name, chosen[name]) for name in rest]
    if not complete:
        extras = draw(
            st.lists(
                st.tuples(
                    st.one_of(
                        st.sampled_from(list(names) + ["foo", "ID", "c_numbr", "idx", "_0", "self", "r_ain1"]),
                        st.text(min_size=1, max_size=6),
                    ),
                    anything,
                ),
                max_size=2,
            )
        )
        for extra in extras:
            pairs.insert(draw(st.integers(0, len(pairs))), extra)
    kwargs = {}
    for name, value in pairs:
        style = draw(st.integers(0, 5))
        key = KeyStr(name) if style == 0 else rebuilt(name) if style == 1 else name
        if key not in kwargs:
            kwargs[key] = value
    return tuple(args), kwargs


def run_both(module_call, model_call):
    """Runs the module, then the model; compares their outcomes and the hook
    calls each made. Returns the module's outcome."""
    LOG.clear()
    got = model.outcome(module_call)
    got_log = list(LOG)
    LOG.clear()
    want = model.outcome(model_call)
    want_log = list(LOG)
    assert got_log == want_log, "arguments examined differently"
    compare(got, want)
    return got


def compare(got, want):
    if want[0] == "ok":
        assert got[0] == "ok", f"expected a result, got {got[1]!r}"
        return
    assert got[0] == "raise", f"expected {want[1]!r}, got the result {got[1]!r}"
    error = want[1]
    # An error from user code that is not rewritten passes as the same object.
    from_user = any(error is getattr(h, "result", None) for h in _live_hooks)
    model.assert_same_error(got[1], error, passthrough=error if from_user else None)


_live_hooks = []


def remember_hooks(*objects):
    """Notes the hook objects among `objects` (searching lists, tuples and
    dicts), whose exceptions must reach the caller as the same objects."""
    _live_hooks.clear()
    stack = list(objects)
    while stack:
        obj = stack.pop()
        if isinstance(obj, Hook):
            _live_hooks.append(obj)
        elif type(obj) in (list, tuple):
            stack.extend(obj)
        elif type(obj) is dict:
            stack.extend(obj.values())


def check_call(module_fn, model_fn, args, kwargs):
    remember_hooks(args, kwargs)
    return run_both(lambda: module_fn(*args, **kwargs), lambda: model_fn(args, kwargs))


# ---------------------------------------------------------------------------
# Configurations: real objects with their model records, or anything else.


def make_config(record_args):
    cfg = ChannelConfig(*record_args)
    record = model.new_config(record_args, {})
    return cfg, record


valid_floats = st.one_of(doubles, ints.filter(lambda i: abs(i) < 2**1000), doubles.map(SubFloat))
config_args = st.tuples(variant_objects, valid_floats, valid_floats, valid_floats, valid_floats)
configs = config_args.map(make_config)


# ---------------------------------------------------------------------------
# The builders.


def u64_values(_name):
    return st.one_of(ints, numbers, oddballs)


temperature_values = {
    "c_number": lambda: st.one_of(ints, numbers, oddballs),
    "temperature_value": lambda: st.one_of(doubles, numbers, oddballs),
    "id": lambda: st.one_of(ints, numbers, oddballs),
}


@fuzz(2000)
@given(call_shapes(("c_number", "temperature_value", "id"), lambda n: temperature_values[n]()))
def test_set_temperature_request(call):
    args, kwargs = call
    check_call(kelvane.set_temperature_request, model.set_temperature_request, args, kwargs)


valid_u64 = st.one_of(
    st.integers(0, 2**64 - 1),
    st.booleans(),
    st.integers(0, 2**64 - 1).map(SubInt),
    st.integers(0, 2**64 - 1).map(IndexHook),
)
valid_u32 = st.one_of(st.integers(0, 2**32 - 1), st.booleans(), st.integers(0, 2**32 - 1).map(IndexHook))


@fuzz(800)
@given(
    call_shapes(
        ("c_number", "temperature_value", "id"),
        lambda n: {"c_number": valid_u64, "temperature_value": valid_floats, "id": valid_u32}[n],
        complete=True,
    )
)
def test_set_temperature_request_valid(call):
    args, kwargs = call
    got = check_call(kelvane.set_temperature_request, model.set_temperature_request, args, kwargs)
    assert got[0] == "ok"
    assert got[1] == model.set_temperature_request(args, kwargs)


@fuzz(1500)
@given(st.data())
def test_set_channel_request(data):
    records = {}
    pool = data.draw(st.lists(configs, min_size=1, max_size=2))
    for cfg, record in pool:
        records[id(cfg)] = record
    config_values = st.one_of(st.sampled_from([cfg for cfg, _ in pool]), anything)
    values = {
        "c_number": st.one_of(ints, numbers, oddballs),
        "c_config": config_values,
        "id": st.one_of(ints, numbers, oddballs),
    }
    args, kwargs = data.draw(call_shapes(("c_number", "c_config", "id"), values.__getitem__))
    check_call(kelvane.set_channel_request, lambda a, k: model.set_channel_request(a, k, records), args, kwargs)


@fuzz(800)
@given(st.data())
def test_set_channel_request_valid(data):
    cfg, record = data.draw(configs)
    records = {id(cfg): record}
    values = {"c_number": valid_u64, "c_config": st.just(cfg), "id": valid_u32}
    args, kwargs = data.draw(call_shapes(("c_number", "c_config", "id"), values.__getitem__, complete=True))
    got = check_call(kelvane.set_channel_request, lambda a, k: model.set_channel_request(a, k, records), args, kwargs)
    assert got[0] == "ok"
    assert got[1] == model.set_channel_request(args, kwargs, records)


@fuzz(300)
@given(st.lists(anything, max_size=2), st.dictionaries(st.sampled_from(["x", "id", "c_number"]), anything, max_size=2))
def test_sys_reset(args, kwargs):
    check_call(kelvane.sys_reset, model.sys_reset, tuple(args), kwargs)


# ---------------------------------------------------------------------------
# The channel model.


def assert_variant(obj, value: model.ChannelTypeValue):
    assert type(obj) is model.VARIANT_CLASSES[value.kind]
    assert len(obj) == (0 if value.kind == model.KIND_NONE else 1)
    if value.kind != model.KIND_NONE:
        member = obj._0
        cls, names = (RTDType, RTD_MEMBERS) if value.kind == model.KIND_RTD else (TCType, TC_MEMBERS)
        assert type(member) is cls
        assert int(member) == value.sensor
        assert repr(member) == f"{cls.__name__}.{names[value.sensor]}"


def assert_config(cfg, record: model.ConfigRecord):
    assert_variant(cfg.channel_type, record.channel_type)
    for field, bits in zip(FLOAT_FIELDS, record.floats, strict=True):
        got = getattr(cfg, field)
        assert type(got) is float
        assert model.double_bits(got) == model.f32_widened_bits(bits), (field, got)


sensor_args = st.one_of(members(), anything)


@fuzz(1000)
@given(st.sampled_from([model.KIND_NONE, model.KIND_RTD, model.KIND_TC]), st.data())
def test_variant_constructors(kind, data):
    names = model.VARIANT_PARAMS[kind].names
    args, kwargs = data.draw(call_shapes(names, lambda _: sensor_args))
    got = check_call(model.VARIANT_CLASSES[kind], lambda a, k: model.new_variant(kind, a, k), args, kwargs)
    if got[0] == "ok":
        value = model.new_variant(kind, args, kwargs)
        assert_variant(got[1], value)
        # Subscript: idx converted as an unsigned 64-bit integer.
        idx = data.draw(st.one_of(st.integers(-2, 2), ints, numbers, oddballs))
        remember_hooks(idx)
        result = run_both(lambda: got[1][idx], lambda: model.subscript(value, idx))
        if result[0] == "ok":
            assert int(result[1]) == value.sensor and type(result[1]) is type(got[1]._0)
            assert result[1] is not got[1]._0


@fuzz(100)
@given(
    st.sampled_from([ChannelType, RTDType, TCType, PyChannelType]),
    st.lists(anything, max_size=2),
    st.dictionaries(st.text(min_size=1, max_size=4), anything, max_size=2),
)
def test_classes_without_constructor(cls, args, kwargs):
    remember_hooks(args, kwargs)

    def model_call():
        raise model.no_constructor(cls)

    run_both(lambda: cls(*args, **kwargs), model_call)
    assert LOG == []  # arguments are not looked at


config_values = {
    "channel_type": lambda: st.one_of(variant_objects, variant_objects, anything),
    "max_resistance": lambda: st.one_of(valid_floats, numbers, oddballs),
    "min_resistance": lambda: st.one_of(valid_floats, numbers, oddballs),
    "shunt_resistance": lambda: st.one_of(valid_floats, numbers, oddballs),
    "r_ain0": lambda: st.one_of(valid_floats, numbers, oddballs),
}


@fuzz(1200)
@given(call_shapes(CONFIG_FIELDS, lambda n: config_values[n]()))
def test_channel_config_constructor(call):
    args, kwargs = call
    got = check_call(ChannelConfig, model.new_config, args, kwargs)
    if got[0] == "ok":
        assert_config(got[1], model.new_config(args, kwargs))


class ConfigMachine(RuleBasedStateMachine):
    """Configurations built, read, changed and encoded in any order; every
    step is checked against the model."""

    configs = Bundle("configs")

    def __init__(self):
        super().__init__()
        self.records = {}
        self.live = []

    @initialize(target=configs, args=config_args)
    def first(self, args):
        return self._build(args)

    @rule(target=configs, args=config_args)
    def build(self, args):
        return self._build(args)

    def _build(self, args):
        cfg, record = make_config(args)
        self.records[id(cfg)] = record
        self.live.append(cfg)
        return cfg

    @rule(
        cfg=configs,
        field=st.sampled_from(CONFIG_FIELDS),
        value=st.one_of(variant_objects, valid_floats, anything),
        delete=st.integers(0, 9).map(lambda n: n == 0),
    )
    def assign(self, cfg, field, value, delete):
        record = self.records[id(cfg)]

        def module_call():
            if delete:
                delattr(cfg, field)
            else:
                setattr(cfg, field, value)

        remember_hooks(value)
        run_both(module_call, lambda: model.set_field(record, field, value, delete))

    @rule(cfg=configs, c_number=valid_u64, id=valid_u32)
    def encode(self, cfg, c_number, id):
        got = kelvane.set_channel_request(c_number, cfg, id)
        assert got == model.set_channel_request((c_number, cfg, id), {}, self.records)

    @invariant()
    def fields_match(self):
        for cfg in self.live:
            assert_config(cfg, self.records[id(cfg)])


TestConfigMachine = ConfigMachine.TestCase
TestConfigMachine.settings = fuzz(200, stateful_step_count=25)


# ---------------------------------------------------------------------------
# The model's own arithmetic, pinned to values that are known independently.


@pytest.mark.parametrize(
    "value, bits",
    [
        (0.1, 0x3DCC_CCCD),
        (-0.0, 0x8000_0000),
        (1e39, 0x7F80_0000),
        (-1e39, 0xFF80_0000),
        (2.0**128 - 2.0**103, 0x7F80_0000),
        (math.nextafter(2.0**128 - 2.0**103, 0), 0x7F7F_FFFF),
        (2.0**-150, 0),
        (3 * 2.0**-151, 1),
        (float("nan"), 0x7FC0_0000),
        (model.bits_double(0x7FF0_0000_0000_0001), 0x7FC0_0000),  # signalling NaN becomes quiet
        (model.bits_double(0xFFF4_0000_2000_0000), 0xFFE0_0001),
    ],
)
def test_model_narrowing(value, bits):
    assert model.f32_bits(value) == bits


@fuzz(500)
@given(st.one_of(st.floats(allow_nan=False), halfway_doubles()))
def test_model_narrowing_agrees_with_struct_where_struct_can(x):
    # Where struct packs at all (no NaN, no overflow), it rounds the same way,
    # and widening gives back what struct unpacks.
    try:
        packed = struct.pack(">f", x)
    except OverflowError:
        assert model.f32_bits(abs(x)) == 0x7F80_0000
        return
    bits = model.f32_bits(x)
    assert bits == struct.unpack(">I", packed)[0]
    assert model.f32_widened_bits(bits) == model.double_bits(struct.unpack(">f", packed)[0])


# ---------------------------------------------------------------------------
# Reaching past the constructors: slots and descriptors applied to objects of
# another class, and allocation through another class's __new__. The
# interpreter must refuse each with TypeError before the module reads a
# record that is not there.

_rtd = ChannelType_RTD(RTDType.PT100)
_tc = ChannelType_TC(TCType.K)
_cfg = ChannelConfig(_rtd, 1.0, 2.0, 3.0, 4.0)
_record = model.new_config((_rtd, 1.0, 2.0, 3.0, 4.0), {})


@pytest.mark.parametrize(
    "reach",
    [
        lambda: ChannelType_RTD._0.__get__(_tc),
        lambda: ChannelType_RTD.__getitem__(_tc, 0),
        lambda: ChannelType_RTD.__len__(_cfg),
        lambda: ChannelConfig.max_resistance.__get__(_rtd),
        lambda: ChannelConfig.channel_type.__set__(_rtd, _tc),
        lambda: ChannelConfig.r_ain0.__set__(RTDType.PT100, 1.0),
        lambda: ChannelType_RTD.__new__(ChannelType_TC, TCType.K),
        lambda: ChannelType_None.__new__(PyChannelType),
        lambda: ChannelConfig.__new__(ChannelType_RTD, _rtd, 1, 2, 3, 4),
        lambda: object.__new__(ChannelConfig),
        lambda: object.__new__(ChannelType_RTD),
        lambda: type(RTDType.PT100).__int__(_rtd),
        lambda: RTDType.__repr__(TCType.K),
    ],
)
def test_foreign_objects_are_refused(reach):
    with pytest.raises(TypeError):
        reach()
    assert kelvane.set_channel_request(1, _cfg, 2) == model.set_channel_request((1, _cfg, 2), {}, {id(_cfg): _record})
