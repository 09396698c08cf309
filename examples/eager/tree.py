"""A small pytree: tuples, lists and dicts of values, flattened into their
leaves in a fixed order (dict keys sorted) and rebuilt from leaves."""

LEAF = None


CONTAINERS = (tuple, list, dict)


def flatten(tree):
    """(leaves, structure) of `tree`; anything not a tuple, list or dict is
    a leaf."""
    if type(tree) not in CONTAINERS:
        return [tree], LEAF
    leaves = []
    return leaves, _flatten(tree, leaves)


def _flatten(tree, leaves):
    kind = type(tree)
    if kind is tuple or kind is list:
        return kind, None, tuple(_flatten(x, leaves) for x in tree)
    if kind is dict:
        keys = sorted(tree)
        return dict, tuple(keys), tuple(_flatten(tree[k], leaves) for k in keys)
    leaves.append(tree)
    return LEAF


def unflatten(structure, leaves):
    """The tree of `structure` with `leaves` in flattening order."""
    if structure is LEAF and len(leaves) == 1:
        return leaves[0]
    it = iter(leaves)
    tree = _build(structure, it)
    if next(it, it) is not it:
        raise ValueError("unflatten got more leaves than the structure holds")
    return tree


def _build(structure, it):
    if structure is LEAF:
        return next(it)
    kind, keys, children = structure
    built = [_build(c, it) for c in children]
    return dict(zip(keys, built)) if kind is dict else kind(built)


def leaf_count(structure):
    if structure is LEAF:
        return 1
    return sum(leaf_count(c) for c in structure[2])


def describe(structure):
    """The structure as text for messages: `*` for each leaf."""
    if structure is LEAF:
        return "*"
    kind, keys, children = structure
    inner = [describe(c) for c in children]
    if kind is dict:
        return "{" + ", ".join(f"{k!r}: {v}" for k, v in zip(keys, inner)) + "}"
    if kind is tuple:
        return "(" + ", ".join(inner) + ("," if len(inner) == 1 else "") + ")"
    return "[" + ", ".join(inner) + "]"
