"""mongorestore's namespace patterns: --nsInclude/--nsExclude select
"db.collection" names with "*" wildcards; --nsFrom/--nsTo rename them, a
"*" or "$name$" in --nsFrom capturing text that the same wildcard or
variable in --nsTo puts back. A backslash escapes "*", "$" and itself."""
import re


class PatternError(ValueError):
    pass


def _tokens(pattern):
    """Literal strings and wildcards ("*" or "$name$") of a pattern."""
    out, literal, i = [], "", 0
    while i < len(pattern):
        c = pattern[i]
        if c == "\\" and i + 1 < len(pattern):
            literal += pattern[i + 1]
            i += 2
        elif c == "*":
            out += [literal, ("*",)]
            literal, i = "", i + 1
        elif c == "$":
            end = pattern.find("$", i + 1)
            if end < 0:
                raise PatternError("unterminated variable in '%s'" % pattern)
            out += [literal, ("$", pattern[i + 1:end])]
            literal, i = "", end + 1
        else:
            literal += c
            i += 1
    return out + [literal]


def compile_pattern(pattern):
    """(regex matching whole names, its groups' keys: "*" or a variable)."""
    parts, keys = [], []
    for token in _tokens(pattern):
        if isinstance(token, str):
            parts.append(re.escape(token))
            continue
        if token[0] == "$" and token[1] in keys:
            raise PatternError("variable $%s$ used twice in '%s'" % (token[1], pattern))
        keys.append("*" if token[0] == "*" else token[1])
        parts.append("(.*?)")
    return re.compile("^%s$" % "".join(parts), re.S), keys


def matches_any(patterns, ns):
    return any(compile_pattern(p)[0].match(ns) for p in patterns)


class Renamer:
    """Applies --nsFrom/--nsTo pairs; the first pair that matches wins."""

    def __init__(self, froms, tos):
        if len(froms) != len(tos):
            raise PatternError("Different number of nsFrom and nsTo arguments")
        self.rules = []
        for source, target in zip(froms, tos):
            regex, keys = compile_pattern(source)
            target_tokens = _tokens(target)
            wanted = [t for t in target_tokens if not isinstance(t, str)]
            if sorted(k for k in keys if k != "*") != sorted(t[1] for t in wanted if t[0] == "$") \
                    or keys.count("*") != sum(1 for t in wanted if t[0] == "*"):
                raise PatternError("nsFrom %s and nsTo %s do not use the same wildcards"
                                   % (source, target))
            self.rules.append((regex, keys, target_tokens))

    def rename(self, ns):
        for regex, keys, target in self.rules:
            found = regex.match(ns)
            if not found:
                continue
            stars = [v for k, v in zip(keys, found.groups()) if k == "*"]
            named = {k: v for k, v in zip(keys, found.groups()) if k != "*"}
            out = []
            for token in target:
                if isinstance(token, str):
                    out.append(token)
                elif token[0] == "*":
                    out.append(stars.pop(0))
                else:
                    out.append(named[token[1]])
            return "".join(out)
        return ns
