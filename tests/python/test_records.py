"""The records' Python layouts against the C header, and WriterConfig's conversions."""

from __future__ import annotations

import ctypes
import os
import re
import subprocess

import pytest

from conftest import SOURCE
from kelvra_at import records as rec

HEADER = SOURCE / "core" / "include" / "kelvra_at_records.h"

SIZE_MACROS = {
    "kvat_writer_info": "KVAT_WRITER_INFO_SIZE",
    "kvat_writer_config": "KVAT_WRITER_CONFIG_SIZE",
    "kvat_chip_id": "KVAT_CHIP_ID_SIZE",
    "kvat_memory_block": "KVAT_MEMORY_BLOCK_SIZE",
    "kvat_option_bytes": "KVAT_OPTION_BYTES_SIZE",
    "kvat_project_info_record": "KVAT_PROJECT_INFO_SIZE",
    "kvat_offline_state": "KVAT_OFFLINE_STATE_SIZE",
    "kvat_broadcast_record": "KVAT_BROADCAST_RECORD_SIZE",
}
DATACLASSES = {
    "kvat_writer_info": rec.WriterInfo, "kvat_writer_config": rec.WriterConfig,
    "kvat_chip_id": rec.ChipId, "kvat_memory_block": rec.MemoryBlock,
    "kvat_option_bytes": rec.OptionBytes, "kvat_project_info_record": rec.ProjectInfo,
    "kvat_offline_state": rec.OfflineState, "kvat_broadcast_record": rec.BroadcastRecord,
}


def test_every_record_of_the_header_has_a_layout_of_its_size():
    text = HEADER.read_text()
    typedefs = set(re.findall(r"typedef struct KVAT_PACKED_ (\w+) \{", text))
    assert typedefs == set(rec.C_LAYOUTS)
    sizes = dict(re.findall(r"#define (KVAT_\w+_SIZE)\s+(\d+)", text))
    for name, layout in rec.C_LAYOUTS.items():
        assert ctypes.sizeof(layout) == int(sizes[SIZE_MACROS[name]]), name
        assert DATACLASSES[name].SIZE == ctypes.sizeof(layout), name


def test_field_offsets_and_sizes_match_the_c_compiler(tmp_path):
    lines = ['#include <stddef.h>', '#include <stdio.h>', '#include "kelvra_at_records.h"',
             "int main(void) {"]
    for struct, layout in rec.C_LAYOUTS.items():
        for field, *_ in layout._fields_:
            lines.append(f'    printf("{struct}.{field} %u %u\\n", (unsigned)offsetof({struct}, '
                         f'{field}), (unsigned)sizeof((({struct} *)0)->{field}));')
    lines += ["    return 0;", "}"]
    (tmp_path / "layouts.c").write_text("\n".join(lines))
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-std=c99", "-I", str(HEADER.parent), "-o", str(tmp_path / "layouts"),
                    str(tmp_path / "layouts.c")], check=True)
    out = subprocess.run([str(tmp_path / "layouts")], check=True, capture_output=True,
                         text=True).stdout
    seen = 0
    for line in out.splitlines():
        where, offset, size = line.split()
        struct, field = where.split(".")
        desc = getattr(rec.C_LAYOUTS[struct], field)
        assert (desc.offset, desc.size) == (int(offset), int(size)), where
        seen += 1
    assert seen == sum(len(layout._fields_) for layout in rec.C_LAYOUTS.values())


def test_writer_config_bytes_round_trip():
    raw = bytes((i * 7 + 3) & 0xFF for i in range(70))
    config = rec.WriterConfig.from_bytes(raw)
    assert config.to_bytes() == raw  # texts without a terminator, odd bytes included
    named = rec.WriterConfig.from_bytes(b"Kelvra".ljust(16, b"\0") + b"\xff" * 54)
    assert named.vendor == "Kelvra"
    assert named.limit_number == 0xFFFFFFFF and named.in_debounce_ms == 0xFFFF
    assert named.to_bytes()[:16] == b"Kelvra".ljust(16, b"\0")


BASE = rec.WriterConfig.from_bytes(bytes(70))


@pytest.mark.parametrize("make, error", [
    (lambda: rec.WriterConfig.from_bytes(bytes(69)), ValueError),
    (lambda: rec.WriterConfig.from_bytes(bytes(71)), ValueError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "erase": 256}).to_bytes(), ValueError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "limit_number": -1}).to_bytes(), ValueError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "in_debounce_ms": 65536}).to_bytes(), ValueError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "clock": "4"}).to_bytes(), TypeError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "vendor": "x" * 17}).to_bytes(), ValueError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "model": "a\0b"}).to_bytes(), ValueError),
    (lambda: BASE.__class__(**{**BASE.__dict__, "series": 7}).to_bytes(), TypeError),
], ids=["short", "long", "u8 range", "u32 negative", "u16 range", "int type", "text length",
        "zero in text", "text type"])
def test_writer_config_refuses_what_does_not_fit(make, error):
    with pytest.raises(error):
        make()
