"""The result-code table against the C header and the host program's message table, and the
exceptions built from it."""

from __future__ import annotations

import re

import pytest

from conftest import SOURCE
from kelvra_at import errors
from kelvra_at.errors import (KelvraError, KelvraPortError, KelvraTimeoutError, ResultCode,
                              error_for, message_of)


def test_codes_and_names_are_the_headers():
    text = (SOURCE / "core" / "include" / "kelvra_at_records.h").read_text()
    header = [(int(v), n) for n, v in re.findall(r"X\(KVAT_ERR_(\w+),\s*(\d+)\)", text)]
    assert len(header) > 80
    assert [(m.value, m.name) for m in ResultCode] == header


def test_messages_are_the_host_programs():
    text = (SOURCE / "host" / "model" / "result_message.cpp").read_text()
    host = {int(c): t for c, t in re.findall(r'\{(\d+), "((?:[^"\\]|\\.)*)"\}', text)}
    assert host == {int(c): m for c, m in errors._MESSAGES.items()}


@pytest.mark.parametrize("code, kind, builtin, words", [
    (13, KelvraTimeoutError, TimeoutError, ["Time out", "result code 13", "TIMEOUT"]),
    (38, KelvraPortError, ConnectionError, ["communication port error", "result code 38"]),
    (9, KelvraError, Exception, ["Target not connected", "result code 9"]),
    (0, KelvraError, Exception, ["acknowledgement instead of the expected data"]),
    (100, KelvraError, Exception, ["unknown result code", "result code 100"]),
])
def test_exceptions_carry_code_and_message(code, kind, builtin, words):
    e = error_for(code, "kvat_target_erase")
    assert type(e) is kind and isinstance(e, builtin)
    assert e.code == code and e.message == message_of(code)
    for word in words:
        assert word in str(e)
    assert str(e).startswith("kvat_target_erase: ")


def test_message_texts_are_exact():
    assert message_of(9) == " Target not connected..."
    assert message_of(19) == message_of(37) == " The package size error..."
    assert message_of(100) == "" and message_of(48) == ""
