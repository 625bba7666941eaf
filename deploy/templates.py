"""The @NAME@ placeholders of the site's configuration templates."""

import re

PLACEHOLDER = re.compile(r"@([A-Z][A-Z0-9_]*)@")


def placeholders(template_path):
    """The names of the template's placeholders."""
    with open(template_path, encoding="utf-8") as f:
        return set(PLACEHOLDER.findall(f.read()))


def render(template_path, **values):
    """Returns the template's text with every @NAME@ replaced by values[NAME].

    A placeholder without a value is an error, so a half-rendered
    configuration never reaches a server."""
    with open(template_path, encoding="utf-8") as f:
        text = f.read()

    def fill(m):
        key = m.group(1)
        if key not in values:
            raise KeyError(f"{template_path}: no value for @{key}@")
        return str(values[key])

    return PLACEHOLDER.sub(fill, text)
