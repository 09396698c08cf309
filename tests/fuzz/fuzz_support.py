"""What the module's atheris targets share: instrumenting the harness itself
(the extension reports no coverage of its own, so the harness and its
reference model, whose branches follow the input's structure, are what
guides the fuzzer) and starting the run."""

import inspect
import sys

import atheris


def quote(text):
    """`text` as the conversions quote keys and module names in messages:
    double-quoted, with backslash escapes for NUL, tab, CR, LF, the quote and
    the backslash, and \\u{hex} for what is not printable and for a
    combining mark that would open the text."""
    out = []
    for i, ch in enumerate(text):
        if ch in "\x00\t\r\n":
            out.append({"\x00": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}[ch])
        elif ch in '"\\':
            out.append("\\" + ch)
        elif not ch.isprintable() or (i == 0 and 0x300 <= ord(ch) <= 0x36F):
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def run(namespace):
    """Instrument the functions and methods defined in `namespace` (a target's
    globals), then fuzz its `one_input` with the command line's flags."""
    module = namespace["__name__"]
    for name, value in list(namespace.items()):
        if inspect.isfunction(value) and value.__module__ == module:
            namespace[name] = atheris.instrument_func(value)
        elif inspect.isclass(value) and value.__module__ == module:
            for attribute, member in list(vars(value).items()):
                if inspect.isfunction(member):
                    setattr(value, attribute, atheris.instrument_func(member))
    atheris.Setup(sys.argv, namespace["one_input"])
    atheris.Fuzz()
