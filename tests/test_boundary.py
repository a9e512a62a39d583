"""The Python boundary of ravick_lib: module attributes, signature, argument
errors and the shape of results."""

import inspect
import pathlib
import subprocess
import sys
import threading

import pytest
import ravick_lib

SCAN_DOC = (
    "Scan a binary buffer for FileDescriptorProto candidates.\n\n"
    "Returns a list of (start, end) byte offsets for each candidate found."
)


def test_module_attributes():
    assert ravick_lib.__doc__ == "The Python module definition."
    assert ravick_lib.__all__ == ["scan"]
    assert isinstance(ravick_lib.__all__, list)
    # scan_range stands beside scan, over the same core, outside __all__.
    public = {n for n in dir(ravick_lib) if not n.startswith("__")}
    assert public == {"scan", "scan_range"}
    assert ravick_lib.scan_range.__text_signature__ == "(buffer, start=0, end=None)"


def test_scan_signature_and_doc():
    scan = ravick_lib.scan
    assert scan.__name__ == "scan"
    assert scan.__module__ == "ravick_lib"
    assert scan.__text_signature__ == "(buffer)"
    assert scan.__doc__ == SCAN_DOC
    params = list(inspect.signature(scan).parameters.values())
    assert [p.name for p in params] == ["buffer"]
    assert params[0].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert params[0].default is inspect.Parameter.empty


def test_stub_states_the_published_signature():
    stub = next(
        p
        for p in map(pathlib.Path, sys.path)
        if (p / "ravick_lib.pyi").is_file()
    ) / "ravick_lib.pyi"
    text = stub.read_text()
    assert (
        "def scan(buffer: bytes) -> builtins.list[tuple[builtins.int, builtins.int]]:"
        in text
    )
    assert "Scan a binary buffer for FileDescriptorProto candidates." in text
    assert "Returns a list of (start, end) byte offsets for each candidate found." in text


@pytest.mark.parametrize("call", [lambda: ravick_lib.scan(b""), lambda: ravick_lib.scan(buffer=b"")])
def test_empty_input_gives_empty_list(call):
    assert call() == []


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((b"", b""), {}, "scan() takes 1 positional arguments but 2 were given"),
        ((b"", b"", b""), {}, "scan() takes 1 positional arguments but 3 were given"),
        ((), {}, "scan() missing 1 required positional argument: 'buffer'"),
        ((), {"buf": b""}, "scan() got an unexpected keyword argument 'buf'"),
        ((b"",), {"other": 1}, "scan() got an unexpected keyword argument 'other'"),
        ((b"",), {"buffer": b""}, "scan() got multiple values for argument 'buffer'"),
    ],
)
def test_arity_and_keyword_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ravick_lib.scan(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", [])


def test_unencodable_keyword_is_unexpected():
    with pytest.raises(TypeError) as info:
        ravick_lib.scan(**{"\udcff": b""})
    assert str(info.value).startswith("scan() got an unexpected keyword argument '")


class NotBytes:
    pass


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (bytearray(b"abc"), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"abc"), "'memoryview' object is not an instance of 'bytes'"),
        ("abc", "'str' object is not an instance of 'bytes'"),
        (3, "'int' object is not an instance of 'bytes'"),
        (NotBytes(), "'NotBytes' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
    ],
)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_wrong_type_carries_note(value, message, by_keyword):
    with pytest.raises(TypeError) as info:
        if by_keyword:
            ravick_lib.scan(buffer=value)
        else:
            ravick_lib.scan(value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'buffer'"]


class MyBytes(bytes):
    pass


def test_bytes_subclass_is_scanned_like_bytes(descriptor_blob):
    blob, ranges = descriptor_blob
    assert ravick_lib.scan(MyBytes(blob)) == ravick_lib.scan(blob) == ranges


def test_offsets_are_plain_ints_and_slice_the_message(descriptor_blob):
    blob, ranges = descriptor_blob
    got = ravick_lib.scan(blob)
    assert got == ranges
    for item in got:
        assert type(item) is tuple and len(item) == 2
        assert all(type(v) is int for v in item)
    from google.protobuf import descriptor_pb2

    for start, end in got:
        fd = descriptor_pb2.FileDescriptorProto.FromString(blob[start:end])
        assert fd.name.endswith(".proto")


def test_concurrent_scans_agree(descriptor_blob):
    blob, ranges = descriptor_blob
    results = []

    def work():
        results.append(ravick_lib.scan(blob))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [ranges] * 4


def test_import_declares_no_gil_need():
    code = (
        "import sys, ravick_lib\n"
        "enabled = getattr(sys, '_is_gil_enabled', lambda: True)()\n"
        "free = bool(__import__('sysconfig').get_config_var('Py_GIL_DISABLED'))\n"
        "assert not (free and enabled), 'import re-enabled the GIL'\n"
        "print('ok')\n"
    )
    out = subprocess.run(
        [sys.executable, "-W", "error", "-c", code],
        capture_output=True,
        text=True,
        check=True,
    )
    assert out.stdout.strip() == "ok"
    assert "GIL" not in out.stderr
