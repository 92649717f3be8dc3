"""The module surface: attributes, signatures, argument binding, conversions and error mapping."""
import inspect
import shutil
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from conftest import make_signal, raises_exactly
from quorvel import TarvoCompressionOptions, compress_signal, decompress_signal

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"


@pytest.fixture
def signal():
    return make_signal(256)


@pytest.fixture
def container(signal):
    return compress_signal(signal)


# --- module attributes ---------------------------------------------------------

def test_all_lists_class_then_compress_then_decompress():
    assert quorvel.__all__ == ["TarvoCompressionOptions", "compress_signal", "decompress_signal"]


def test_module_has_only_the_public_names_and_an_empty_docstring():
    public = {name for name in vars(quorvel) if not name.startswith("_")}
    assert public == set(quorvel.__all__)
    assert not hasattr(quorvel, "__version__")
    assert quorvel.__doc__ == ""


@pytest.mark.parametrize("function, signature, doc", [
    (compress_signal, "(data, options=None)",
     "Compress a 1-D float32 NumPy array into a Quorvel-encoded bytes object."),
    (decompress_signal, "(data)",
     "Decompress a Quorvel bytes object into a 1-D float32 NumPy array."),
])
def test_functions_carry_their_text_signature_and_doc(function, signature, doc):
    assert str(inspect.signature(function)) == signature
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "quorvel"
    assert function.__self__ is quorvel
    for parameter in inspect.signature(function).parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_importing_quorvel_does_not_import_numpy():
    code = ("import sys, quorvel\n"
            "assert 'numpy' not in sys.modules, 'numpy imported at import time'\n"
            "quorvel.TarvoCompressionOptions('db4')\n"
            "assert 'numpy' not in sys.modules, 'numpy imported by the options class'\n"
            "quorvel.compress_signal(__import__('numpy').zeros(8, 'f4'))\n")
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_exported_symbol_is_the_init_function():
    listing = subprocess.run(["nm", "-D", "--defined-only", quorvel.__file__],
                             check=True, capture_output=True, text=True).stdout
    names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert names == ["PyInit_quorvel"]


# --- argument binding ------------------------------------------------------------

def test_binding_failures_name_the_function(signal, container):
    x, b = signal, container
    cases = [
        (lambda: compress_signal(), "compress_signal() missing 1 required positional argument: 'data'"),
        (lambda: compress_signal(options=None),
         "compress_signal() missing 1 required positional argument: 'data'"),
        (lambda: compress_signal(x, None, 3),
         "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: compress_signal(x, level=3), "compress_signal() got an unexpected keyword argument 'level'"),
        (lambda: compress_signal(x, data=x), "compress_signal() got multiple values for argument 'data'"),
        (lambda: compress_signal(x, None, options=None),
         "compress_signal() got multiple values for argument 'options'"),
        (lambda: decompress_signal(), "decompress_signal() missing 1 required positional argument: 'data'"),
        (lambda: decompress_signal(b, b), "decompress_signal() takes 1 positional arguments but 2 were given"),
        (lambda: decompress_signal(b, b, b),
         "decompress_signal() takes 1 positional arguments but 3 were given"),
        (lambda: decompress_signal(b, data=b), "decompress_signal() got multiple values for argument 'data'"),
        (lambda: decompress_signal(options=None),
         "decompress_signal() got an unexpected keyword argument 'options'"),
    ]
    for call, text in cases:
        with raises_exactly(TypeError, text):
            call()


def test_binding_checks_count_then_keywords_in_call_order_then_missing(signal):
    x = signal
    # Too many positional arguments wins over a bad keyword.
    with raises_exactly(TypeError, "compress_signal() takes from 1 to 2 positional arguments but 3 were given"):
        compress_signal(x, None, None, level=1)
    # The first bad keyword in call order is the one reported.
    with raises_exactly(TypeError, "compress_signal() got an unexpected keyword argument 'level'"):
        compress_signal(x, level=1, data=x)
    with raises_exactly(TypeError, "compress_signal() got multiple values for argument 'data'"):
        compress_signal(x, data=x, level=1)
    # A bad keyword wins over a missing parameter and over a bad value.
    with raises_exactly(TypeError, "compress_signal() got an unexpected keyword argument 'level'"):
        compress_signal(level=1)
    with raises_exactly(TypeError, "compress_signal() got an unexpected keyword argument 'level'"):
        compress_signal([1.0], level=1)


def test_arguments_bind_by_keyword(signal):
    expected = compress_signal(signal, TarvoCompressionOptions("db4"))
    assert compress_signal(data=signal, options=TarvoCompressionOptions("db4")) == expected
    assert compress_signal(options=TarvoCompressionOptions("db4"), data=signal) == expected
    assert compress_signal(**{"data": signal, "options": TarvoCompressionOptions("db4")}) == expected
    assert np.array_equal(decompress_signal(data=expected), decompress_signal(expected))


# --- compress_signal conversions ------------------------------------------------

class ArraySubclass(np.ndarray):
    pass


def test_data_that_is_not_a_float32_vector_is_rejected_naming_its_type():
    cases = [
        (None, "argument 'data': 'None' is not an instance of 'ndarray'"),
        ([1.0, 2.0], "argument 'data': 'list' object is not an instance of 'ndarray'"),
        (b"\0\0\0\0", "argument 'data': 'bytes' object is not an instance of 'ndarray'"),
        (np.float32(1.0), "argument 'data': 'float32' object is not an instance of 'ndarray'"),
        (np.zeros(8, np.float64), "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(8, np.float16), "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(8, np.int32), "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 4), np.float32), "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
        (np.array(1.0, np.float32), "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
        # Byte-swapped float32 is not equivalent to native float32.
        (np.zeros(8, np.dtype(np.float32).newbyteorder()),
         "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(8, np.float64).view(ArraySubclass),
         "argument 'data': 'ArraySubclass' object is not an instance of 'ndarray'"),
        (np.zeros((1, 8), np.float32).view(ArraySubclass),
         "argument 'data': 'ArraySubclass' object is not an instance of 'ndarray'"),
    ]
    for data, text in cases:
        with raises_exactly(TypeError, text):
            compress_signal(data)


def test_type_name_in_the_message_is_qualified():
    class Local:
        pass
    with raises_exactly(TypeError, "argument 'data': 'test_type_name_in_the_message_is_qualified.<locals>.Local'"
                                   " object is not an instance of 'ndarray'"):
        compress_signal(Local())


def test_options_of_another_type_are_rejected(signal):
    cases = [
        ("cdf97", "argument 'options': 'str' object is not an instance of 'TarvoCompressionOptions'"),
        (0x0B0100, "argument 'options': 'int' object is not an instance of 'TarvoCompressionOptions'"),
        ({"method": "cdf97"}, "argument 'options': 'dict' object is not an instance of 'TarvoCompressionOptions'"),
        (TarvoCompressionOptions, "argument 'options': 'type' object is not an instance of 'TarvoCompressionOptions'"),
    ]
    for options, text in cases:
        with raises_exactly(TypeError, text):
            compress_signal(signal, options)


def test_conversions_run_data_then_options_then_layout(signal):
    strided = signal[::2]
    with raises_exactly(TypeError, "argument 'data': 'list' object is not an instance of 'ndarray'"):
        compress_signal([1.0], "bad")
    with raises_exactly(TypeError, "argument 'options': 'str' object is not an instance of 'TarvoCompressionOptions'"):
        compress_signal(strided, "bad")
    with raises_exactly(TypeError, NOT_CONTIGUOUS):
        compress_signal(strided, TarvoCompressionOptions())


def test_non_contiguous_or_misaligned_arrays_are_rejected_and_their_copies_accepted(signal):
    raw = bytearray(signal.nbytes + 1)
    misaligned = np.frombuffer(raw, dtype=np.uint8)[1:].view(np.float32)
    misaligned[:] = signal
    assert not misaligned.flags.aligned
    for array in (signal[::2], signal[::-1], misaligned):
        with raises_exactly(TypeError, NOT_CONTIGUOUS):
            compress_signal(array)
    assert compress_signal(np.ascontiguousarray(signal[::2])) == compress_signal(signal[::2].copy())
    assert compress_signal(misaligned.copy()) == compress_signal(signal)


def test_layouts_that_are_read_in_place(signal):
    expected = compress_signal(signal)
    read_only = signal.copy()
    read_only.setflags(write=False)
    assert compress_signal(read_only) == expected
    assert compress_signal(np.asfortranarray(signal)) == expected
    assert compress_signal(signal.view(ArraySubclass)) == expected
    assert compress_signal(signal.astype("<f4" if sys.byteorder == "little" else ">f4")) == expected
    # A one-element view is contiguous whatever its stride.
    assert compress_signal(signal[3:4]) == compress_signal(np.array([signal[3]], np.float32))


def test_empty_arrays_reach_the_codec_whatever_their_flags():
    empty = np.zeros(0, np.float32)
    for array in (empty, np.zeros(10, np.float32)[5:5:3], np.zeros(10, np.float32)[::-1][:0]):
        with raises_exactly(ValueError, EMPTY):
            compress_signal(array)


def test_default_options_none_omitted_and_default_instance_give_identical_bytes(signal):
    expected = compress_signal(signal)
    assert compress_signal(signal, None) == expected
    assert compress_signal(signal, options=None) == expected
    assert compress_signal(signal, TarvoCompressionOptions()) == expected
    assert compress_signal(signal, TarvoCompressionOptions("cdf97", 11, "low")) == expected


def test_compress_returns_bytes_beginning_with_the_header(signal):
    container = compress_signal(signal)
    assert type(container) is bytes
    assert container[:8] == b"QRVL\x01\x00f3"
    assert container[8:12] == b"cf97"


def test_the_input_array_is_not_modified(signal):
    before = signal.copy()
    compress_signal(signal, TarvoCompressionOptions("sym4", 6, "high"))
    assert np.array_equal(signal, before)


# --- decompress_signal -----------------------------------------------------------

class BytesSubclass(bytes):
    pass


def test_only_bytes_are_accepted_by_decompress(container):
    cases = [
        (bytearray(container), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
        (memoryview(container), "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
        (np.frombuffer(container, np.uint8), "argument 'data': 'ndarray' object is not an instance of 'bytes'"),
        (container.decode("latin-1"), "argument 'data': 'str' object is not an instance of 'bytes'"),
        (None, "argument 'data': 'None' is not an instance of 'bytes'"),
    ]
    for data, text in cases:
        with raises_exactly(TypeError, text):
            decompress_signal(data)
    assert np.array_equal(decompress_signal(BytesSubclass(container)), decompress_signal(container))


def test_decompress_returns_a_fresh_writable_float32_vector_that_owns_nothing_shared(signal, container):
    result = decompress_signal(container)
    assert type(result) is np.ndarray
    assert result.dtype == np.dtype(np.float32) and result.dtype.isnative
    assert result.ndim == 1 and result.shape == signal.shape and result.strides == (4,)
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
    # The samples are adopted, not copied: the array is a view on an owner object.
    assert not result.flags.owndata
    assert result.base is not None and not isinstance(result.base, np.ndarray)
    result[:] = 7.0
    assert np.all(decompress_signal(container) != 7.0)


@pytest.mark.parametrize("data, text", [
    (b"", "Header is invalid"),
    (b"QRVL" + bytes(47), "Header is invalid"),
    (b"garbage!" * 8, "Magic should be 'QRVL' but it was 'garb'"),
    (b"\xff\xfe\xfd\xfc" + bytes(60), "Magic should be 'QRVL' but it was '????'"),
    (b"QRVL\x02\x00f3" + bytes(44), "Invalid header version '\x02\x00'"),
    (b"QRVL\x01\x00f4" + bytes(44), "Invalid compression method 'f4'"),
    (b"QRVL\x01\x00f3xxxx" + bytes(40), "Invalid compression method 'xxxx'"),
])
def test_bad_headers_raise_value_error_with_the_codec_text(data, text):
    # The version text carries a NUL: the message must survive it unchanged.
    with raises_exactly(ValueError, text):
        decompress_signal(data)


def test_decoder_errors_after_the_header_are_framed(container):
    payload_length = int.from_bytes(container[32:36], "little")
    truncated = container[:-1]
    with raises_exactly(ValueError, f"Can't decompress data, reason: Minimum data size is {52 + payload_length}, "
                                    f"but it was {len(truncated)}"):
        decompress_signal(truncated)
    eleven_levels = container[:12] + bytes([11]) + container[13:]
    with raises_exactly(ValueError, "Can't decompress data, reason: Max supported level is 10 but it was 11"):
        decompress_signal(eleven_levels)


def test_trailing_bytes_change_nothing(container):
    assert np.array_equal(decompress_signal(container + b"tail" * 10), decompress_signal(container))
