"""Real reply bodies of chat-completions servers, kept beside the repository in ``shared/corpus``.

A file starts with ``# key: value`` metadata lines (source, kind, server, case, expect); the body is
everything from the first other line on, byte for byte, line endings included.
"""

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

CORPUS_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"

requires_corpus = pytest.mark.skipif(not CORPUS_DIR.is_dir(), reason=f"no reply corpus at {CORPUS_DIR}")


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
    """The sample ``name`` (file name with or without its suffix); skips the test without a corpus."""
    if not CORPUS_DIR.is_dir():
        pytest.skip(f"no reply corpus at {CORPUS_DIR}")
    path = CORPUS_DIR / name
    if not path.suffix:
        path = next(p for p in CORPUS_DIR.glob(name + ".*") if p.suffix in (".sse", ".json"))
    return parse(path.read_bytes(), path.stem, path.suffix == ".sse")


def names(suffix: str | None = None) -> list[str]:
    """Names of all samples (only ``.sse`` or ``.json`` ones with ``suffix``), for parametrising;
    empty without a corpus, so parametrised tests are skipped rather than failing."""
    if not CORPUS_DIR.is_dir():
        return []
    suffixes = (suffix,) if suffix else (".sse", ".json")
    return sorted(p.name for p in CORPUS_DIR.iterdir() if p.suffix in suffixes)
