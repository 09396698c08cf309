#!/usr/bin/env python3
"""Fuzzes deserialize_graph_json through the module. Any text either fails
with ValueError or gives a store that reads back completely (every node,
its attributes, every constant) and whose canonical JSON is a fixed point:
re-reading it gives the same text and the same store.

Run: python fuzz_graph_json.py [corpus_dir] [libFuzzer flags]"""

import sys

import atheris
import fuzz_support

import vorlix._native_core as core


def read_all(store):
    """Everything a store shows, as plain data."""
    nodes = []
    for i in store.node_ids():
        n = store.get_node(i)
        nodes.append((n.id, n.op, n.schema_version, n.inputs, n.name, n.source_location, repr(n.attrs), n.shape,
                      n.dtype, n.num_outputs, n.output_shapes, n.output_dtypes))
    constants = [store._constant_parts(i) for i in store.constant_ids()]
    return (store.node_count, store.inputs, store.outputs, store.required_array_api_version, repr(store), nodes,
            constants)


def one_input(data):
    # Bytes that are not UTF-8 still reach the parser, as surrogate escapes
    # the module must refuse (they cannot be encoded) or as replacement text.
    text = data.decode("utf-8", "surrogateescape" if data[:1] == b"\xff" else "replace")
    try:
        store = core.deserialize_graph_json(text)
    except ValueError:  # UnicodeEncodeError for surrogates included
        return
    first = read_all(store)
    encoded = store._to_json()
    again = core.deserialize_graph_json(encoded)
    if again._to_json() != encoded:
        raise AssertionError("canonical JSON is not a fixed point")
    if read_all(again) != first:
        raise AssertionError("a re-read store differs from the store it was written from")


if __name__ == "__main__":
    fuzz_support.run(globals())
