#!/usr/bin/env python3
"""Turns a binary file into a C++ source that registers it as an embedded
resource of the program (the Linux counterpart of an RCDATA resource)."""
import argparse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--name", required=True)
    args = parser.parse_args()
    with open(args.input, "rb") as f:
        data = f.read()
    lines = []
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join("0x%02x" % b for b in data[i:i + 16]) + ",")
    body = "\n".join(lines) if data else "    0x00,"
    source = f"""// Generated from {args.input.split('/')[-1]}; do not edit.
#include "platform/ResourceImage.h"

namespace
{{
const std::uint8_t kData[] = {{
{body}
}};

struct SRegister
{{
    SRegister() {{ RegisterEmbeddedResource("{args.name}", kData, {len(data)}u); }}
}} g_register;
}} // namespace
"""
    with open(args.output, "w") as f:
        f.write(source)


if __name__ == "__main__":
    main()
