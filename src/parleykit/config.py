"""Settings of parleykit, such as the API key of a chat-completions service.

An option is looked up in this order, first found wins:

1. the environment variable ``PARLEYKIT_<SECTION>_<OPTION>`` (upper-cased, every character other
   than a letter or digit written as ``_``), e.g. ``PARLEYKIT_LLM_API_KEY``, so a key never has to
   be written into code or files;
2. a value given with ``Configurator.set`` in this process;
3. the INI file named by ``PARLEYKIT_CONFIG``, else ``$XDG_CONFIG_HOME/parleykit/config.ini``, else
   ``~/.config/parleykit/config.ini``::

       [llm]
       api_key = sk-...

An empty environment variable counts as unset. The file is optional; it is read as UTF-8 (with or
without a byte-order mark) when first needed and again whenever it changes (its path, inode, size,
or modification or change time in nanoseconds). Only a regular file of at most 1 MiB is read: a
FIFO, a device or a larger file is refused. Values are taken literally ("%" is not an
interpolation marker: keys contain it). A file that cannot be read or parsed raises
``ConfigError``, whose one-line message names the file and the problem but never quotes its
content, which may hold a key.

Numeric options (``timeout``, ``deadline``, ``max_reply_bytes``) are checked when given with
``set`` and when the client reads them (``Configurator.setting``): a value out of range is refused
with a ``ValueError`` naming the option and the section.
"""

import configparser
import functools
import os
import re
import stat as stat_module
from pathlib import Path
from typing import Any, ClassVar

# A configuration file is a few lines; anything larger is not one (and is never read whole).
MAX_FILE_BYTES = 1024 * 1024
# Seconds a timeout or deadline may be: above zero and at most this (about 11.5 days); larger
# values overflow the platform's timers when a request uses them.
MAX_SECONDS = 1_000_000.0
# Bytes a reply may be at most, when configured: from one byte to 1 TiB.
MAX_REPLY_BYTES = 1 << 40


class ConfigError(ValueError):
    """The configuration file cannot be used; the message names the file and the problem only."""


class Configurator:
    """The configuration, used through the class itself: ``Configurator.get("llm", "api_key")``.

    Option names are case-insensitive, as in INI files; section names are case-sensitive.
    """

    _overrides: ClassVar[dict[tuple[str, str], Any]] = {}
    # The identity of the file last read (path, device, inode, size, mtime and ctime in ns; None
    # when there is none), with its parsed content or why it is unusable.
    _cache: ClassVar[tuple[tuple[Any, ...] | None, configparser.ConfigParser | ConfigError] | None] = None
    # Open ``looking()`` scopes; while there is one, the file's first look in it stands.
    _looks: ClassVar[int] = 0
    _looked: ClassVar[configparser.ConfigParser | ConfigError | None] = None

    @staticmethod
    def path() -> Path:
        """The configuration file that is (or would be) read."""
        return _path_for(os.environ.get("PARLEYKIT_CONFIG"), os.environ.get("XDG_CONFIG_HOME"), os.environ.get("HOME"))

    @staticmethod
    def env_name(section: str, option: str) -> str:
        """The environment variable that overrides ``option`` of ``section``."""
        return _env_name(section, option)

    @classmethod
    def looking(cls) -> "_Look":
        """A scope in which the file is looked at once: every read inside it sees the file as the
        first one found it. The client opens one per request."""
        return _Look(cls)

    @classmethod
    def has_option(cls, section: str, option: str) -> bool:
        """Whether ``section`` holds ``option`` in the environment, in memory or in the file."""
        return (
            bool(os.environ.get(cls.env_name(section, option)))
            or (section, option.lower()) in cls._overrides
            or cls._file().has_option(section, option)
        )

    @classmethod
    def get(cls, section: str, option: str) -> Any:
        """The value of ``option`` in ``section``: a ``str``, or whatever ``set`` stored.

        Raises ``configparser.NoOptionError`` when the option is found nowhere, also when the
        section itself is missing, and ``ConfigError`` when the file has to be read and cannot be.
        """
        if value := os.environ.get(cls.env_name(section, option)):
            return value
        if (key := (section, option.lower())) in cls._overrides:
            return cls._overrides[key]
        parser = cls._file()
        if parser.has_option(section, option):
            return parser.get(section, option)
        raise configparser.NoOptionError(option, section)

    @classmethod
    def set(cls, section: str, option: str, value: Any) -> None:
        """Keep ``value`` for this process; it wins over the file but not over the environment.

        A numeric option is checked first and refused with ``ValueError`` when out of range; it
        takes what its text form takes, and also numbers and (for ``timeout``) a pair of them.
        """
        if (rule := _RULES.get(option.lower())) is not None:
            rule(section, option.lower(), value)
        cls._overrides[(section, option.lower())] = value

    @classmethod
    def setting(cls, section: str, option: str) -> Any:
        """The checked value of a numeric option, or None when it is not set (or set empty).

        ``timeout`` gives seconds as a float or a (connect, read) pair of floats; ``deadline``
        seconds; ``max_reply_bytes`` an int. A value out of range raises ``ValueError`` naming the
        option and the section.
        """
        if not cls.has_option(section, option):
            return None
        return _RULES[option.lower()](section, option.lower(), cls.get(section, option))

    @classmethod
    def clear(cls) -> None:
        """Forget every value given with ``set``."""
        cls._overrides.clear()

    @classmethod
    def _file(cls) -> configparser.ConfigParser:
        parsed = cls._looked if cls._looks else None
        if parsed is None:
            parsed = cls._look_at_file()
            if cls._looks:
                cls._looked = parsed
        if isinstance(parsed, ConfigError):
            raise ConfigError(str(parsed)) from None
        return parsed

    @classmethod
    def _look_at_file(cls) -> configparser.ConfigParser | ConfigError:
        path = cls.path()
        try:
            info = os.stat(path)
        except FileNotFoundError:
            info = None
        except OSError as exc:
            return ConfigError(f"configuration file {path}: {exc.strerror or type(exc).__name__}")
        key = None if info is None else _identity(path, info)
        if cls._cache is None or cls._cache[0] != key:
            cls._cache = _read(path, key) if key is not None else (None, configparser.ConfigParser(interpolation=None))
        return cls._cache[1]


class _Look:
    """The scope of ``Configurator.looking()``; scopes nest."""

    __slots__ = ("_owner",)

    def __init__(self, owner: type[Configurator]) -> None:
        self._owner = owner

    def __enter__(self) -> "_Look":
        self._owner._looks += 1
        return self

    def __exit__(self, *exc: object) -> None:
        owner = self._owner
        owner._looks -= 1
        if owner._looks <= 0:
            owner._looks, owner._looked = 0, None


@functools.lru_cache(maxsize=64)
def _path_for(explicit: str | None, xdg: str | None, home: str | None) -> Path:
    # HOME is part of the key: expanduser reads it.
    if explicit:
        return Path(explicit).expanduser()
    return Path(xdg or "~/.config").expanduser() / "parleykit" / "config.ini"


@functools.lru_cache(maxsize=256)
def _env_name(section: str, option: str) -> str:
    return re.sub(r"[^A-Z0-9]", "_", f"PARLEYKIT_{section}_{option}".upper())


def _identity(path: Path, info: os.stat_result) -> tuple[Any, ...]:
    # A file replaced by another of the same size and mtime still has another inode or ctime.
    return (str(path), info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_mode)


def _read(path: Path, key: tuple[Any, ...]) -> tuple[tuple[Any, ...] | None, configparser.ConfigParser | ConfigError]:
    """Reads the file at ``path`` once: only a regular file below the size cap. Opened without
    blocking and checked on the open descriptor, so a FIFO or a device swapped in after the look
    is refused, not waited on or read without end."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        return key, ConfigError(f"configuration file {path}: {exc.strerror or type(exc).__name__}")
    try:
        info = os.fstat(fd)
        key = _identity(path, info)
        if not stat_module.S_ISREG(info.st_mode):
            if stat_module.S_ISDIR(info.st_mode):
                return key, ConfigError(f"configuration file {path}: Is a directory")
            return key, ConfigError(f"configuration file {path}: not a regular file")
        if info.st_size > MAX_FILE_BYTES:
            return key, ConfigError(f"configuration file {path}: larger than {MAX_FILE_BYTES} bytes")
        data = b""
        while len(data) <= MAX_FILE_BYTES and (piece := os.read(fd, MAX_FILE_BYTES + 1 - len(data))):
            data += piece
    except OSError as exc:
        return key, ConfigError(f"configuration file {path}: {exc.strerror or type(exc).__name__}")
    finally:
        os.close(fd)
    if len(data) > MAX_FILE_BYTES:  # grew while it was read
        return key, ConfigError(f"configuration file {path}: larger than {MAX_FILE_BYTES} bytes")
    return key, _parse(path, data)


def _refuse(section: str, option: str, what: str, value: Any) -> ValueError:
    return ValueError(f"the {option} of section {section!r} must be {what}, not {value!r}")


def _number(value: Any) -> float:
    if isinstance(value, bool):
        value = str(value)
    return float(value.strip()) if isinstance(value, str) else float(value)


def _seconds(value: Any) -> float:
    seconds = _number(value)
    if not (0.0 < seconds <= MAX_SECONDS):
        raise ValueError(seconds)
    return seconds


_TIMEOUT = f"seconds, or connect,read seconds, each above 0 and at most {MAX_SECONDS:.0f}"
_DEADLINE = f"seconds above 0 and at most {MAX_SECONDS:.0f}"
_SIZE = f"a whole number of bytes from 1 to {MAX_REPLY_BYTES}"


def _timeout_rule(section: str, option: str, value: Any) -> float | tuple[float, float] | None:
    """A timeout: seconds, or a connect,read pair, as text ("10,600") or as numbers ((10, 600))."""
    if isinstance(value, str):
        if not value.strip():
            return None
        parts: Any = value.split(",")
    elif isinstance(value, (tuple, list)):
        parts = value
    else:
        parts = [value]
    try:
        if len(parts) not in (1, 2):
            raise ValueError(parts)
        numbers = [_seconds(part) for part in parts]
    except (TypeError, ValueError, OverflowError):
        raise _refuse(section, option, _TIMEOUT, value) from None
    return numbers[0] if len(numbers) == 1 else (numbers[0], numbers[1])


def _deadline_rule(section: str, option: str, value: Any) -> float | None:
    if isinstance(value, str) and not value.strip():
        return None
    try:
        return _seconds(value)
    except (TypeError, ValueError, OverflowError):
        raise _refuse(section, option, _DEADLINE, value) from None


def _size_rule(section: str, option: str, value: Any) -> int | None:
    if isinstance(value, str) and not value.strip():
        return None
    try:
        if isinstance(value, bool) or isinstance(value, float):
            raise ValueError(value)
        size = int(value.strip().replace("_", "")) if isinstance(value, str) else int(value)
        if not (1 <= size <= MAX_REPLY_BYTES) or (not isinstance(value, (int, str)) and size != value):
            raise ValueError(size)
    except (TypeError, ValueError, OverflowError):
        raise _refuse(section, option, _SIZE, value) from None
    return size


_RULES = {"timeout": _timeout_rule, "deadline": _deadline_rule, "max_reply_bytes": _size_rule}


def _parse(path: Path, data: bytes) -> configparser.ConfigParser | ConfigError:
    """The file's content, or the error that says why it is unusable without quoting it."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        # utf-8-sig reads the text alike with and without a byte-order mark.
        text = data.decode("utf-8-sig")
        parser.read_string(text, source=str(path))
    except UnicodeDecodeError as exc:
        return ConfigError(f"configuration file {path}: not UTF-8 text (byte {exc.start})")
    except configparser.MissingSectionHeaderError as exc:
        return ConfigError(f"configuration file {path}: line {exc.lineno} comes before any [section] header")
    except configparser.DuplicateSectionError as exc:
        return ConfigError(f"configuration file {path}: line {exc.lineno}: section [{exc.section}] appears twice")
    except configparser.DuplicateOptionError as exc:
        return ConfigError(
            f"configuration file {path}: line {exc.lineno}: option {exc.option!r} appears twice in [{exc.section}]"
        )
    except configparser.ParsingError as exc:
        numbers = [str(number) for number, _ in exc.errors]
        where = f"line{'s' if len(numbers) > 1 else ''} {', '.join(numbers)}"
        return ConfigError(f"configuration file {path}: {where} neither a [section], an option nor a comment")
    except configparser.Error as exc:
        return ConfigError(f"configuration file {path}: cannot be parsed ({type(exc).__name__})")
    return parser
