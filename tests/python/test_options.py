"""TarvoCompressionOptions: parsing, validation order, the quoted form of rejected texts, the type's shape."""
import inspect
import operator
import weakref
import zlib

import numpy as np
import pytest

from conftest import make_signal, raises_exactly
from quorvel import TarvoCompressionOptions as Options
from quorvel import compress_signal

METHODS = {"cdf53": b"cf53", "cdf97": b"cf97", "db4": b"db04", "sym4": b"sym4"}
CUTOFFS = ["low", "medium", "high"]
EXPECTED_METHODS = ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"
EXPECTED_CUTOFFS = ", expected 'low' or 'medium' or 'high'"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def scale_message(scale):
    return f"Only scaled 6..12 is supported, but it was {scale}"


def quoted(text):
    """The quoted form, written from its definition: str.isprintable decides what is escaped."""
    named = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    return '"' + "".join(named.get(c) or (c if c.isprintable() else "\\u{%x}" % ord(c)) for c in text) + '"'


@pytest.fixture(scope="module")
def signal():
    return make_signal(512)


def header_fields(container):
    return container[8:12], container[13]


# --- accepted values reach the codec -------------------------------------------

def test_defaults_are_cdf97_scale_11_cutoff_low(signal):
    assert header_fields(compress_signal(signal, Options())) == (b"cf97", 11)
    assert compress_signal(signal, Options()) == compress_signal(signal, Options("cdf97", 11, "low"))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("scale", range(6, 13))
def test_method_and_scale_are_stored_in_the_container(signal, method, scale):
    container = compress_signal(signal, Options(method, scale))
    assert header_fields(container) == (METHODS[method], scale)


def test_positional_and_keyword_arguments_bind_alike(signal):
    expected = compress_signal(signal, Options("db4", 6, "high"))
    for options in (Options(method="db4", scale=6, cutoff="high"), Options("db4", cutoff="high", scale=6),
                    Options(cutoff="high", scale=6, method="db4"), Options(**{"method": "db4", "scale": 6,
                                                                               "cutoff": "high"})):
        assert compress_signal(signal, options) == expected


def coefficients(container):
    return np.frombuffer(zlib.decompress(container[52:], wbits=-15), dtype="<i2")


def test_stronger_cutoffs_zero_more_detail_coefficients(signal):
    # The cutoff is not stored, so its effect is read off the coefficient stream:
    # at scale 12 the thresholds are 3, 9 and 21 quanta.
    zeros = [np.count_nonzero(coefficients(compress_signal(signal, Options("cdf97", 12, cutoff))) == 0)
             for cutoff in CUTOFFS]
    assert zeros[0] < zeros[1] < zeros[2]


def test_integer_like_scales_are_accepted(signal):
    expected = compress_signal(signal, Options(scale=8))
    assert compress_signal(signal, Options(scale=np.int64(8))) == expected
    assert compress_signal(signal, Options(scale=np.uint8(8))) == expected


def test_str_subclasses_are_accepted(signal):
    class Text(str):
        pass
    assert compress_signal(signal, Options(Text("sym4"), 9, Text("medium"))) == \
        compress_signal(signal, Options("sym4", 9, "medium"))


# --- rejected values ---------------------------------------------------------------

@pytest.mark.parametrize("scale", [0, 1, 5, 13, 99, 255, True, False])
def test_scales_outside_6_to_12_are_rejected(scale):
    with raises_exactly(ValueError, scale_message(int(scale))):
        Options(scale=scale)


@pytest.mark.parametrize("scale", [-1, -255, 256, 300, 2**31])
def test_scales_outside_a_byte_overflow(scale):
    with raises_exactly(OverflowError, OUT_OF_RANGE):
        Options(scale=scale)


def test_scales_beyond_a_c_long_keep_cpythons_overflow_error():
    with pytest.raises(OverflowError) as info:
        Options(scale=2**70)
    assert type(info.value) is OverflowError
    assert str(info.value) != OUT_OF_RANGE and not str(info.value).startswith("argument")


@pytest.mark.parametrize("scale", [11.0, "11", None, b"\x0b", [11]])
def test_non_integer_scales_are_type_errors_with_the_argument_prefix(scale):
    with pytest.raises(TypeError) as conversion:
        operator.index(scale)  # what PyLong_AsLong says about the value
    with raises_exactly(TypeError, "argument 'scale': " + str(conversion.value)):
        Options(scale=scale)


@pytest.mark.parametrize("name", ["method", "cutoff"])
def test_texts_must_be_str(name):
    cases = [(None, "'None' is not an instance of 'str'"),
             (3, "'int' object is not an instance of 'str'"),
             (b"low", "'bytes' object is not an instance of 'str'"),
             (["low"], "'list' object is not an instance of 'str'")]
    for value, inner in cases:
        with raises_exactly(TypeError, f"argument '{name}': {inner}"):
            Options(**{name: value})


@pytest.mark.parametrize("name", ["method", "cutoff"])
def test_texts_that_cannot_be_encoded_raise_the_encoding_error_unchanged(name):
    with pytest.raises(UnicodeEncodeError):
        Options(**{name: "low\udc80"})


@pytest.mark.parametrize("text", ["CDF97", "Cdf97", " cdf97", "cdf97 ", "cdf97\n", "cdf", "cdf977", "haar", "",
                                  "db04", "sym 4", "cdf97\0"])
def test_method_matching_is_exact(text):
    with raises_exactly(ValueError, "Unknown method " + quoted(text) + EXPECTED_METHODS):
        Options(text)


@pytest.mark.parametrize("text", ["LOW", "Low", " low", "low ", "med", "mediumm", "hi", "", "none"])
def test_cutoff_matching_is_exact(text):
    with raises_exactly(ValueError, "Unknown cutoff level " + quoted(text) + EXPECTED_CUTOFFS):
        Options(cutoff=text)


def test_value_errors_come_method_then_cutoff_then_scale_whatever_the_argument_order():
    with raises_exactly(ValueError, 'Unknown method "haar"' + EXPECTED_METHODS):
        Options("haar", 99, "x")
    with raises_exactly(ValueError, 'Unknown method "haar"' + EXPECTED_METHODS):
        Options(cutoff="x", scale=99, method="haar")
    with raises_exactly(ValueError, 'Unknown cutoff level "x"' + EXPECTED_CUTOFFS):
        Options("db4", 99, "x")
    with raises_exactly(ValueError, scale_message(99)):
        Options("db4", 99, "low")


def test_type_errors_come_before_any_value_error():
    with raises_exactly(TypeError, "argument 'scale': 'float' object cannot be interpreted as an integer"):
        Options("haar", 11.0, "x")
    with raises_exactly(TypeError, "argument 'cutoff': 'None' is not an instance of 'str'"):
        Options("haar", 99, None)
    with raises_exactly(OverflowError, OUT_OF_RANGE):
        Options("haar", 300, "x")
    # Among type errors the arguments are taken in the order method, scale, cutoff.
    with raises_exactly(TypeError, "argument 'method': 'int' object is not an instance of 'str'"):
        Options(cutoff=None, scale=None, method=1)
    with raises_exactly(TypeError, "argument 'scale': 'NoneType' object cannot be interpreted as an integer"):
        Options(cutoff=None, scale=None)


def test_only_exact_type_errors_gain_the_prefix_and_it_keeps_their_cause():
    cause = KeyError("inner")

    class Raises:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error from cause

    class SubTypeError(TypeError):
        pass

    with raises_exactly(TypeError, "argument 'scale': bad index") as info:
        Options(scale=Raises(TypeError("bad index")))
    assert info.value.__cause__ is cause
    with raises_exactly(ValueError, "bad value"):
        Options(scale=Raises(ValueError("bad value")))
    with raises_exactly(SubTypeError, "left alone"):
        Options(scale=Raises(SubTypeError("left alone")))


# --- quoted form of a rejected text ------------------------------------------------

QUOTED_BY_HAND = [
    ("haar", '"haar"'),
    ('say "hi"', '"say \\"hi\\""'),
    ("back\\slash", '"back\\\\slash"'),
    ("tab\tcr\rlf\nnul\0", '"tab\\tcr\\rlf\\nnul\\0"'),
    ("\x01\x1b\x7f", '"\\u{1}\\u{1b}\\u{7f}"'),
    ("\x85\xa0\xad", '"\\u{85}\\u{a0}\\u{ad}"'),  # C1 control, no-break space, soft hyphen
    ("zero\u200bwidth", '"zero\\u{200b}width"'),
    ("\u2028\u2029\ufeff", '"\\u{2028}\\u{2029}\\u{feff}"'),
    ("\U000e0001\U0010ffff", '"\\u{e0001}\\u{10ffff}"'),
    ("it's", '"it\'s"'),
    (" spaced ", '" spaced "'),
    ("é中文😀", '"é中文😀"'),
]


@pytest.mark.parametrize("text, shown", QUOTED_BY_HAND)
def test_quoted_form_escapes_quotes_controls_and_non_printables(text, shown):
    assert quoted(text) == shown  # the oracle agrees with the hand-written forms
    with raises_exactly(ValueError, "Unknown method " + shown + EXPECTED_METHODS):
        Options(text)
    with raises_exactly(ValueError, "Unknown cutoff level " + shown + EXPECTED_CUTOFFS):
        Options(cutoff=text)


def test_quoted_form_follows_isprintable_over_a_sweep_of_code_points():
    # Every category boundary of the Basic Multilingual Plane below U+3000 plus a few astral points.
    points = list(range(0x00, 0x3000, 7)) + [0x3000, 0xfff9, 0xfffc, 0xfffd, 0x1f600, 0xe007f, 0xf0000]
    text = "".join(chr(p) for p in points if not 0xd800 <= p < 0xe000)
    with raises_exactly(ValueError, "Unknown method " + quoted(text) + EXPECTED_METHODS):
        Options(text)


# --- binding --------------------------------------------------------------------

def test_binding_failures_name_the_constructor():
    cases = [
        (lambda: Options("cdf97", 11, "low", 1),
         "TarvoCompressionOptions.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: Options(level=1), "TarvoCompressionOptions.__new__() got an unexpected keyword argument 'level'"),
        (lambda: Options("db4", method="db4"),
         "TarvoCompressionOptions.__new__() got multiple values for argument 'method'"),
        (lambda: Options("db4", 8, scale=8),
         "TarvoCompressionOptions.__new__() got multiple values for argument 'scale'"),
        (lambda: Options(1, 2, 3, 4, level=1),
         "TarvoCompressionOptions.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: Options(None, level=1),
         "TarvoCompressionOptions.__new__() got an unexpected keyword argument 'level'"),
    ]
    for call, text in cases:
        with raises_exactly(TypeError, text):
            call()


# --- the type itself ----------------------------------------------------------------

def test_signature_and_doc_come_from_the_docstring():
    assert Options.__text_signature__ == '(method="cdf97", scale=11, cutoff="low")'
    assert str(inspect.signature(Options)) == "(method='cdf97', scale=11, cutoff='low')"
    assert Options.__name__ == "TarvoCompressionOptions"
    assert Options.__qualname__ == "TarvoCompressionOptions"
    assert not Options.__doc__


def test_instances_have_no_attributes_dict_or_weak_references():
    options = Options("db4", 7, "medium")
    for name in ("method", "scale", "cutoff", "__dict__"):
        with pytest.raises(AttributeError):
            getattr(options, name)
    for name in ("method", "scale", "cutoff", "other"):
        with pytest.raises(AttributeError):
            setattr(options, name, 1)
    with pytest.raises(TypeError):
        weakref.ref(options)


def test_the_type_cannot_be_subclassed():
    with raises_exactly(TypeError, "type 'TarvoCompressionOptions' is not an acceptable base type"):
        type("Derived", (Options,), {})


def test_plain_object_behaviour_for_repr_equality_and_hash():
    a, b = Options(), Options()
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<") and "TarvoCompressionOptions object at 0x" in repr(a)
    assert set(vars(Options)) <= {"__new__", "__doc__", "__module__"}
