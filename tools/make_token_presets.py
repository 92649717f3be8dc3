#!/usr/bin/env python3
"""Writes codec/sequence/token_presets.hpp: the 64 preset token tables of the sequence coder.

A block may name one of these instead of sending a table. Preset k holds the token frequencies
(11-bit, summing to 2048) of a geometric law on the zigzagged residuals with mean 2^(k/4) / 4,
as tests/python/reference/v2_model.py computes them (`preset_tables`). They are written out as integers so that
every platform codes with the same tables, whatever its pow().

Run from the repository root: python3 tools/make_token_presets.py
"""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python" / "reference"))
import v2_model  # noqa: E402

OUT = ROOT / "codec" / "sequence" / "token_presets.hpp"


def main() -> None:
    presets = v2_model.preset_tables()
    assert presets.shape == (64, 72) and (presets.sum(axis=1) == 2048).all() and presets.min() >= 1
    rows = []
    for row in presets:
        numbers = [str(int(v)) for v in row]
        lines = [", ".join(numbers[i : i + 18]) for i in range(0, len(numbers), 18)]
        rows.append("    {" + ",\n     ".join(lines) + "},")
    OUT.write_text(
        "// codec/sequence/token_presets.hpp: the preset token tables, written by tools/make_token_presets.py.\n"
        "// Preset k: token frequencies (out of 2048) of a geometric law on zigzagged residuals with mean\n"
        "// 2^(k/4) / 4. Do not edit; rerun the script.\n"
        "#pragma once\n\n#include <array>\n#include <cstdint>\n\n"
        "namespace quorvel::sequence {\n\n"
        "inline constexpr std::array<std::array<std::uint16_t, 72>, 64> kPresetTables{{\n"
        + "\n".join(rows)
        + "\n}};\n\n}  // namespace quorvel::sequence\n"
    )


if __name__ == "__main__":
    main()
