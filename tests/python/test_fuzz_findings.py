"""What the conversion fuzzers (tests/fuzz/fuzz_*.py) found, pinned."""

import pytest

import vorlix._native_core as core


def store_with_input_dtype(dtype):
    builder = core.GraphBuilder()
    builder.append_output(builder.append_input_node([], dtype))
    return builder.finish()[0]


@pytest.mark.parametrize("text", ["cupy. float>f4", "numpy.\u3000x", "array_api_strict.\tint8"])
def test_a_prefixed_name_with_inner_white_space_survives_the_artifact(text):
    store = store_with_input_dtype(text)
    reread = core.deserialize_graph_json(store._to_json())
    assert reread.get_node(0).dtype == store.get_node(0).dtype
    assert reread._to_json() == store._to_json()


def test_a_namespace_dtype_whose_text_cannot_be_encoded_is_refused_by_the_encoder():
    # Generic namespace route: no `name`, so str(obj) is the text.
    Lone = type("Lone", (), {"__module__": "array_api_strict._dtypes", "__str__": lambda self: "f\udc80"})
    with pytest.raises(UnicodeEncodeError):
        store_with_input_dtype(Lone())
