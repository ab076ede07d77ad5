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
without a byte-order mark) when first needed and again whenever its path or modification time
changes. Values are taken literally ("%" is not an interpolation marker: keys contain it). A file
that cannot be read or parsed raises ``ConfigError``, whose one-line message names the file and the
problem but never quotes its content, which may hold a key.
"""

import configparser
import os
import re
from pathlib import Path
from typing import Any, ClassVar


class ConfigError(ValueError):
    """The configuration file cannot be used; the message names the file and the problem only."""


class Configurator:
    """The configuration, used through the class itself: ``Configurator.get("llm", "api_key")``.

    Option names are case-insensitive, as in INI files; section names are case-sensitive.
    """

    _overrides: ClassVar[dict[tuple[str, str], Any]] = {}
    # (path, mtime_ns, size) of the file last read, with its parsed content or why it is unusable.
    _cache: ClassVar[tuple[tuple[str, int, int] | None, configparser.ConfigParser | ConfigError] | None] = None

    @staticmethod
    def path() -> Path:
        """The configuration file that is (or would be) read."""
        if explicit := os.environ.get("PARLEYKIT_CONFIG"):
            return Path(explicit).expanduser()
        base = os.environ.get("XDG_CONFIG_HOME") or "~/.config"
        return Path(base).expanduser() / "parleykit" / "config.ini"

    @staticmethod
    def env_name(section: str, option: str) -> str:
        """The environment variable that overrides ``option`` of ``section``."""
        return re.sub(r"[^A-Z0-9]", "_", f"PARLEYKIT_{section}_{option}".upper())

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
        """Keep ``value`` for this process; it wins over the file but not over the environment."""
        cls._overrides[(section, option.lower())] = value

    @classmethod
    def clear(cls) -> None:
        """Forget every value given with ``set``."""
        cls._overrides.clear()

    @classmethod
    def _file(cls) -> configparser.ConfigParser:
        path = cls.path()
        try:
            stat = path.stat()
            key: tuple[str, int, int] | None = (str(path), stat.st_mtime_ns, stat.st_size)
        except FileNotFoundError:
            key = None
        except OSError as exc:
            raise ConfigError(f"configuration file {path}: {exc.strerror or type(exc).__name__}") from None
        if cls._cache is None or cls._cache[0] != key:
            cls._cache = (key, _parse(path) if key is not None else configparser.ConfigParser(interpolation=None))
        parsed = cls._cache[1]
        if isinstance(parsed, ConfigError):
            raise ConfigError(str(parsed)) from None
        return parsed


def _parse(path: Path) -> configparser.ConfigParser | ConfigError:
    """The file's content, or the error that says why it is unusable without quoting it."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        # utf-8-sig reads the text alike with and without a byte-order mark.
        text = path.read_bytes().decode("utf-8-sig")
        parser.read_string(text, source=str(path))
    except OSError as exc:
        return ConfigError(f"configuration file {path}: {exc.strerror or type(exc).__name__}")
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
