"""Node records: shapes and dtypes shared between consecutive nodes, and the
rarely set fields (name, source location, residual, operand layout) that only
some nodes carry, read back through every path that uses them."""

import pytest

from vorlix._native_core import DynamicTape, dynamic_vjp


class Dtype:
    """A dtype object compared by identity only: two instances are never the
    same dtype even when they print alike."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


A, B = Dtype("a"), Dtype("a")

# (shape, dtype) per node; neighbours repeat, differ in shape only, in dtype
# object only, or in rank only.
SPECS = [((2, 3), A), ((2, 3), A), ((2, 3), B), ((3, 2), B), ((3, 2, 1), B), ((3, 2, 1), B), ((), A), ((), A),
         ((2, 3), A), ((1, 1, 1, 1, 1), A), ((1, 1, 1, 1, 1), A), ((1, 1, 1, 1), A)]


def test_operand_specs_follow_every_nodes_own_shape_and_dtype():
    tape = DynamicTape()
    seen = []

    def vjp(out, primals, ct, attrs, active, residual, specs, src):
        seen.append(specs)
        return [ct]

    ids = [tape.record_input(0.0, SPECS[0][0], SPECS[0][1])]
    for shape, dtype in SPECS[1:]:
        ids.append(tape.record_operation("f", [ids[-1]], 0.0, None, shape, dtype))
    tape.mark_output(ids[-1])
    tape.freeze([None, None], [None, vjp], [None, (False, False, False)])
    dynamic_vjp(tape, [(ids[-1], 1.0)], [ids[0]])
    # Node k+1 sees node k as its operand; the walk visits nodes last first.
    got = [s[0] for s in reversed(seen)]
    assert got == [(shape, dtype) for shape, dtype in SPECS[:-1]]
    assert all(g[1] is dtype for g, (_, dtype) in zip(got, SPECS))


@pytest.mark.parametrize("shape, weak_ok", [((), True), ((1,), False)])
def test_mark_weak_reads_a_shared_shape(shape, weak_ok):
    tape = DynamicTape()
    x = tape.record_input(0.0, shape, "f")
    y = tape.record_operation("f", [x], 0.0, None, shape, "f")  # same shape and dtype as x
    if weak_ok:
        tape.mark_weak(y)
        assert tape.weak_mask([x, y]) == [False, True]
    else:
        with pytest.raises(ValueError, match="^only rank-zero dynamic tape values can be weak scalars$"):
            tape.mark_weak(y)


class Residual:
    def __init__(self, payload):
        self.payload = payload
        self.closed = False

    def close(self):
        self.closed = True


def test_rare_fields_stay_with_their_own_nodes():
    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f", name="x")
    y = tape.record_input(2.0, [], "f")
    plain = tape.record_operation("g", [x], 3.0, None, [], "f")
    located = tape.record_operation("g", [y], 4.0, None, [], "f", source_location="here")
    laid_out = tape.record_operation("h", [x, y], 5.0, None, [], "f", input_positions=[2, 0], literals=(9.0,),
                                     name="h")
    residuals = {n: Residual(f"r{n}") for n in (plain, located)}
    tape.record_residual(plain, residuals[plain])  # a node without extras
    tape.record_residual(located, residuals[located])  # a node with extras
    with pytest.raises(RuntimeError, match=f"^DynamicTape node %{plain} already owns a primitive residual$"):
        tape.record_residual(plain, Residual("again"))

    assert [tape.get_node_name(n) for n in (x, y, plain, located, laid_out)] == ["x", None, None, None, "h"]
    assert [s[2] for s in tape._diagnostic_snapshot()] == [None, None, None, "here", None]
    assert tape.stats()["residual_count"] == 2

    calls = {}

    def vjp(out, primals, ct, attrs, active, residual, specs, src):
        calls[out] = (primals, residual, src, active)
        return [ct] * len(primals)

    tape.mark_output(laid_out)
    tape.mark_output(plain)
    tape.mark_output(located)
    tape.freeze([None, None, None], [None, vjp, vjp], [None, (True, True, True), (True, True, False)])
    grads = dynamic_vjp(tape, [(laid_out, 1.0), (plain, 1.0), (located, 1.0)], [x, y], consume=True)
    assert calls == {
        5.0: ((2.0, 9.0, 1.0), None, None, (2, 0)),
        4.0: ((2.0,), "r" + str(located), "here", (0,)),
        3.0: ((1.0,), "r" + str(plain), None, (0,)),
    }
    assert grads == [2.0, 2.0]
    assert all(r.closed for r in residuals.values())
