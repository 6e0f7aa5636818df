"""The YAML subset MongoDB configuration files use: nested block mappings of
scalars, '#' comments, quoted strings and flow sequences. Errors read like
the messages of the YAML parser servers use, with line and column."""


class YamlError(Exception):
    def __init__(self, line, column, what):
        super().__init__("yaml-cpp: error at line %d, column %d: %s" % (line, column, what))


def _strip_comment(line):
    quote = None
    for i, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[:i]
    return line


def _scalar(text, lineno, column):
    text = text.strip()
    if not text:
        return None
    if text[0] in "'\"":
        q = text[0]
        if len(text) < 2 or text[-1] != q:
            raise YamlError(lineno, column, "end of string not found")
        body = text[1:-1]
        return body.replace("''", "'") if q == "'" else bytes(body, "utf-8").decode("unicode_escape")
    if text[0] == "[":
        if text[-1] != "]":
            raise YamlError(lineno, column, "end of sequence flow not found")
        inner = text[1:-1].strip()
        return [] if not inner else [_scalar(p, lineno, column) for p in inner.split(",")]
    if text[0] in "{&*!|>%@`":
        raise YamlError(lineno, column, "unsupported YAML construct '%s'" % text[0])
    return text


def parse(text):
    """Returns nested dicts whose leaves are strings (or lists of strings)."""
    root = {}
    stack = [(None, root)]
    pending = None  # (indent, parent dict, key) of a key whose value is a block
    for lineno, raw in enumerate(text.splitlines(), 1):
        line = _strip_comment(raw).rstrip()
        if not line.strip():
            continue
        if line.strip() == "---":
            continue
        body = line.lstrip(" ")
        indent = len(line) - len(body)
        if body.startswith("\t"):
            raise YamlError(lineno, indent + 1, "tabs are not allowed as indentation")
        if body.startswith("- "):
            raise YamlError(lineno, indent + 1, "block sequences are not supported here")
        if pending:
            p_indent, parent, key = pending
            pending = None
            if indent > p_indent:
                child = {}
                parent[key] = child
                stack.append((indent, child))
            else:
                parent[key] = None
        if stack[0][0] is None:
            stack[0] = (indent, root)  # the first key sets the root's indentation
        while len(stack) > 1 and indent < stack[-1][0]:
            stack.pop()
        if indent != stack[-1][0]:
            raise YamlError(lineno, indent + 1, "illegal map value")
        current = stack[-1][1]
        key, sep, rest = body.partition(":")
        if not sep or (rest and not rest.startswith((" ", "\t"))):
            raise YamlError(lineno, indent + 1, "illegal map value")
        key = key.strip()
        if key[:1] in "'\"" and key[-1:] == key[:1]:
            key = key[1:-1]
        if not key:
            raise YamlError(lineno, indent + 1, "illegal map value")
        if key in current:
            raise YamlError(lineno, indent + 1, "duplicate key '%s'" % key)
        if rest.strip():
            current[key] = _scalar(rest, lineno, indent + len(key) + 3)
        else:
            current[key] = None
            pending = (indent, current, key)
    return root
