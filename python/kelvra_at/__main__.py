"""python3 -m kelvra_at info DEVICE: prints a writer's information.

Exit status: 0 success, 1 the writer failed the request, 2 wrong arguments, 3 the device could
not be opened, 4 the library could not be loaded.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
from typing import List, Optional

from . import __version__
from ._lib import LibraryNotFoundError
from ._lib import path as library_path
from .errors import KelvraError
from .handle import set_encrypt_key_iv, version
from .serial_link import DEFAULT_BAUDRATE, SerialLink


def _hex16(text: str) -> bytes:
    try:
        raw = bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected 32 hex digits") from None
    if len(raw) != 16:
        raise argparse.ArgumentTypeError("expected 32 hex digits")
    return raw


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python3 -m kelvra_at",
                                description="Kelvra writers through the kelvra_at library.")
    p.add_argument("--version", action="store_true", help="print the versions and exit")
    verbs = p.add_subparsers(dest="verb", metavar="VERB")
    info = verbs.add_parser("info", help="print a writer's information")
    info.add_argument("device", help="serial device, e.g. /dev/ttyACM0 or a virtual writer's link")
    info.add_argument("--baud", type=int, default=DEFAULT_BAUDRATE, help="line rate (115200)")
    info.add_argument("--encrypt", action="store_true", help="encrypted link")
    info.add_argument("--key", type=_hex16, help="AES key, 32 hex digits (with --iv)")
    info.add_argument("--iv", type=_hex16, help="AES IV, 32 hex digits (with --key)")
    info.add_argument("--json", action="store_true", help="print a JSON object")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.version:
            v = version()
            print(f"kelvra_at binding {__version__}, library {v >> 16}.{(v >> 8) & 0xFF}."
                  f"{v & 0xFF} ({library_path()})")
            return 0
        if args.verb != "info":
            parser.print_usage(sys.stderr)
            return 2
        if (args.key is None) != (args.iv is None):
            parser.error("--key and --iv go together")
        if args.key is not None:
            set_encrypt_key_iv(args.key, args.iv)
        try:
            link = SerialLink(args.device, args.baud, encrypt=args.encrypt)
        except (OSError, ValueError) as e:  # pyserial's SerialException is an OSError
            print(f"{args.device}: cannot open: {e}", file=sys.stderr)
            return 3
        with link:
            info = link.get_writer_info()
    except LibraryNotFoundError as e:
        print(str(e), file=sys.stderr)
        return 4
    except KelvraError as e:
        print(f"{args.device}: {e}", file=sys.stderr)
        return 1
    if args.json:
        print(json.dumps(dataclasses.asdict(info), indent=4))
    else:
        for field in dataclasses.fields(info):
            print(f"{field.name.replace('_', ' '):<20} {getattr(info, field.name)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
