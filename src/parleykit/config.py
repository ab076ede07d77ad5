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

The file is optional; it is read when first needed and again whenever its path or modification
time changes. Values are taken literally ("%" is not an interpolation marker: keys contain it).
"""

import configparser
import os
import re
from pathlib import Path
from typing import Any, ClassVar


class Configurator:
    """The configuration, used through the class itself: ``Configurator.get("llm", "api_key")``.

    Option names are case-insensitive, as in INI files; section names are case-sensitive.
    """

    _overrides: ClassVar[dict[tuple[str, str], Any]] = {}
    # (path, mtime_ns, size) of the file last read, with its parsed content.
    _cache: ClassVar[tuple[tuple[str, int, int] | None, configparser.ConfigParser] | None] = None

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
            cls.env_name(section, option) in os.environ
            or (section, option.lower()) in cls._overrides
            or cls._file().has_option(section, option)
        )

    @classmethod
    def get(cls, section: str, option: str) -> Any:
        """The value of ``option`` in ``section``: a ``str``, or whatever ``set`` stored.

        Raises ``configparser.NoOptionError`` when the option is found nowhere, also when the
        section itself is missing.
        """
        if (value := os.environ.get(cls.env_name(section, option))) is not None:
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
            key = (str(path), stat.st_mtime_ns, stat.st_size)
        except FileNotFoundError:
            key = None
        if cls._cache is not None and cls._cache[0] == key:
            return cls._cache[1]
        parser = configparser.ConfigParser(interpolation=None)
        if key is not None:
            with path.open(encoding="utf-8") as file:
                parser.read_file(file, source=str(path))
        cls._cache = (key, parser)
        return parser
