"""The JSON schema of a tool's parameters, shaped for a model to read.

pydantic derives the schema from the signature; this module puts the docstring's text where a model
looks for it and removes what only gets in the way:

- the description is the docstring's prose, without its ``Args:``/``Parameters``/``:param:``
  sections, and each parameter's text from those sections becomes the ``description`` of its
  property (Google, NumPy and Sphinx styles, read by ``docstring_parser``);
- the ``title`` that pydantic gives every schema is dropped: it repeats the property name;
- ``$ref``s are replaced by the definitions they point to, since several chat-completions servers
  do not resolve them; only a recursive type keeps its definition under ``$defs``.
"""

from typing import Any

# Keywords whose value holds schemas: a map of them, a list of them, or one. Every other keyword
# holds data ("default", "enum", "const", "examples"...), which is left exactly as it is.
_SCHEMA_MAPS = frozenset({"properties", "patternProperties", "$defs", "definitions", "dependentSchemas"})
_SCHEMA_LISTS = frozenset({"anyOf", "oneOf", "allOf", "prefixItems"})
_SCHEMA_ONE = frozenset(
    {"items", "additionalProperties", "not", "if", "then", "else", "contains", "propertyNames",
     "unevaluatedProperties", "unevaluatedItems", "additionalItems"}
)  # fmt: skip
_DEFS = "#/$defs/"


def describe(doc: str | None) -> tuple[str, dict[str, str]]:
    """The docstring's prose and the text of each parameter it documents."""
    if not doc:
        return "", {}
    import docstring_parser  # on first registration: importing the package stays quick

    try:
        parsed = docstring_parser.parse(doc)
    except docstring_parser.ParseError:
        return doc.strip(), {}
    prose = [text for text in (parsed.short_description, parsed.long_description) if text]
    separator = "\n\n" if parsed.blank_after_short_description else "\n"
    parameters = {p.arg_name: p.description.strip() for p in parsed.params if p.description and p.description.strip()}
    return separator.join(prose).strip(), parameters


def shape(schema: dict[str, Any], documented: dict[str, str]) -> dict[str, Any]:
    """The parameters' schema with the parameter texts added, titles dropped and ``$ref``s inlined."""
    properties = schema.get("properties") or {}
    for name, text in documented.items():
        # An explicit Field(description=...) wins over the docstring.
        if isinstance(properties.get(name), dict) and "description" not in properties[name]:
            properties[name]["description"] = text
    return _Inliner(schema.get("$defs") or {}).run(schema)


class _Inliner:
    def __init__(self, definitions: dict[str, Any]) -> None:
        self.definitions = definitions
        refers = {name: _refs(body) & definitions.keys() for name, body in definitions.items()}
        # A recursive type is one that reaches itself through its references: it stays a reference.
        self.recursive = {name for name in definitions if name in _reachable(name, refers)}

    def run(self, schema: dict[str, Any]) -> dict[str, Any]:
        root: dict[str, Any] = self.node({k: v for k, v in schema.items() if k != "$defs"})
        if self.recursive:
            root["$defs"] = {name: self.node(self.definitions[name]) for name in sorted(self.recursive)}
        return root

    def node(self, schema: Any) -> Any:
        if not isinstance(schema, dict):
            return schema
        ref = schema.get("$ref")
        if isinstance(ref, str) and ref.startswith(_DEFS) and ref[len(_DEFS) :] in self.definitions:
            name = ref[len(_DEFS) :]
            siblings = self.node({k: v for k, v in schema.items() if k != "$ref"})
            if name in self.recursive:
                return {"$ref": ref, **siblings}
            # Keywords beside the reference (a field's description or default) win over the target's.
            return {**self.node(self.definitions[name]), **siblings}
        shaped: dict[str, Any] = {}
        for key, value in schema.items():
            if key == "title" and isinstance(value, str):
                continue
            if key in _SCHEMA_MAPS and isinstance(value, dict):
                value = {k: self.node(v) for k, v in value.items()}
            elif key in _SCHEMA_LISTS and isinstance(value, list):
                value = [self.node(v) for v in value]
            elif key in _SCHEMA_ONE:
                value = self.node(value)
            shaped[key] = value
        return shaped


def _refs(schema: Any) -> set[str]:
    """The names of the definitions a schema refers to, at any depth."""
    if isinstance(schema, list):
        return set().union(*map(_refs, schema))
    if not isinstance(schema, dict):
        return set()
    ref = schema.get("$ref")
    own = {ref[len(_DEFS) :]} if isinstance(ref, str) and ref.startswith(_DEFS) else set()
    return own.union(*map(_refs, schema.values()))


def _reachable(start: str, refers: dict[str, set[str]]) -> set[str]:
    seen: set[str] = set()
    todo = list(refers[start])
    while todo:
        name = todo.pop()
        if name not in seen:
            seen.add(name)
            todo += refers.get(name, ())
    return seen
