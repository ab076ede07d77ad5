"""Real reply bodies of chat-completions servers, kept with the tests in ``data/corpus``.

A file starts with ``# key: value`` metadata lines (source, kind, server, case, expect); the body is
everything from the first other line on, byte for byte, line endings included.
"""

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

CORPUS_DIR = Path(__file__).resolve().parent / "data" / "corpus"


def _files() -> list[Path]:
    # The corpus is part of the suite: a missing or emptied folder fails the run instead of
    # silently skipping every replay.
    files = sorted(p for p in CORPUS_DIR.iterdir() if p.suffix in (".sse", ".json")) if CORPUS_DIR.is_dir() else []
    if not files:
        raise FileNotFoundError(f"no reply corpus at {CORPUS_DIR}")
    return files


@dataclass(frozen=True)
class Sample:
    name: str  # file name without its suffix
    streamed: bool  # an event stream (.sse) rather than one JSON document (.json)
    meta: dict[str, str]
    expect: dict[str, Any]
    body: bytes


def parse(data: bytes, name: str, streamed: bool) -> Sample:
    meta: dict[str, str] = {}
    lines = data.splitlines(keepends=True)
    at = 0
    while at < len(lines) and lines[at].startswith(b"#"):
        key, _, value = lines[at][1:].decode().strip().partition(":")
        meta[key.strip()] = value.strip()
        at += 1
    expect = json.loads(meta["expect"]) if "expect" in meta else {}
    return Sample(name, streamed, meta, expect, b"".join(lines[at:]))


def load(name: str) -> Sample:
    """The sample ``name`` (file name with or without its suffix)."""
    path = CORPUS_DIR / name
    if not path.suffix:
        path = next(p for p in _files() if p.stem == name)
    return parse(path.read_bytes(), path.stem, path.suffix == ".sse")


def names(suffix: str | None = None) -> list[str]:
    """Names of all samples (only ``.sse`` or ``.json`` ones with ``suffix``), for parametrising."""
    return [p.name for p in _files() if suffix in (None, p.suffix)]
