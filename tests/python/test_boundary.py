"""The module's boundary under hostile use: deep and cyclic values, long
ownership chains, memory limits, several threads, exceptions that must keep
their type, finalizers that call back, and the interpreter-version paths."""

import gc
import os
import pathlib
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

import vorlix._native_core as core
from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_vjp

ROOT = pathlib.Path(core.__file__).resolve().parent.parent
# Under the sanitizer job an allocation failure ends the process by design,
# and every frame is larger.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_isolated(code, timeout=300, flags=()):
    """Runs `code` in a fresh interpreter that imports the same module; a
    crash there fails the test instead of ending the test run."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def chain_tape(length=3, value=1.0, jvp=None, vjp=None, needs=(False, True, False), weak_input=False):
    tape = DynamicTape()
    prev = tape.record_input(value, [], "f64")
    if weak_input:
        tape.mark_weak(prev)
    for _ in range(length):
        prev = tape.record_operation("f", [prev], value, None, [], "f64")
    tape.mark_output(prev)
    tape.freeze([None, jvp], [None, vjp], [None, needs if vjp is not None else None])
    return tape, prev


# Deep values --------------------------------------------------------------


def nest(leaf, depth):
    for _ in range(depth):
        leaf = (leaf,)
    return leaf


def unnest(value):
    depth = 0
    while isinstance(value, tuple):
        assert len(value) == 1
        value, depth = value[0], depth + 1
    return value, depth


@pytest.mark.no_leak_check
def test_deep_tuple_cotangents_add_at_any_depth():
    depth = 100_000

    def vjp(out, primals, ct, attrs, active, res, specs, src):
        return [nest(1.5, depth), nest(2.5, depth)]

    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f64")
    y = tape.record_operation("twice", [x, x], 1.0, None, [], "f64")
    tape.mark_output(y)
    tape.freeze([None, None], [None, vjp], [None, (False, False, False)])
    [grad] = dynamic_vjp(tape, [(y, 1.0)], [x])
    assert unnest(grad) == (4.0, depth)


@pytest.mark.parametrize(("a", "b", "message"), [
    (nest((1.0, 2.0), 3), nest((1.0,), 3), "cannot add cotangent tuples with lengths 2 and 1"),
    (nest((1.0, 2.0), 3), nest((1.0, (2.0,)), 3), "cannot add tuple and non-tuple cotangents"),
])
def test_nested_cotangent_mismatch_fails_at_the_first_bad_element(a, b, message):
    def vjp(out, primals, ct, attrs, active, res, specs, src):
        return [a, b]

    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f64")
    y = tape.record_operation("twice", [x, x], 1.0, None, [], "f64")
    tape.mark_output(y)
    tape.freeze([None, None], [None, vjp], [None, (False, False, False)])
    with pytest.raises(ValueError, match=f"^{message}$"):
        dynamic_vjp(tape, [(y, 1.0)], [x])


def test_nested_cotangents_keep_none_elements_and_order():
    def vjp(out, primals, ct, attrs, active, res, specs, src):
        return [(1.0, (None, 2.0), None), (10.0, (3.0, None), 4.0)]

    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f64")
    y = tape.record_operation("twice", [x, x], 1.0, None, [], "f64")
    tape.mark_output(y)
    tape.freeze([None, None], [None, vjp], [None, (False, False, False)])
    assert dynamic_vjp(tape, [(y, 1.0)], [x]) == [(11.0, (3.0, 2.0), 4.0)]


@pytest.mark.serial
@pytest.mark.no_leak_check
def test_releasing_a_long_chain_of_tapes_does_not_exhaust_the_stack():
    # Each tape holds the next as its recorded value. The release runs on a
    # thread with a small stack, where recursing once per tape overflows.
    out = run_isolated(f"""
        import threading
        from vorlix._native_core import DynamicTape

        def run():
            prev = None
            for _ in range(60_000):
                tape = DynamicTape()
                tape.record_input(prev, [], "f64")
                prev = tape
            del tape
            prev = None
            print("released")

        threading.stack_size({32 if SANITIZED else 2} << 20)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    """)
    assert out == "released\n"


# Memory limits --------------------------------------------------------------


@pytest.mark.serial
@pytest.mark.no_leak_check
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on exhaustion")
def test_memory_exhaustion_in_a_walk_raises_memory_error_and_leaves_the_tape_usable():
    out = run_isolated("""
        import resource
        from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_jvp_many

        def rule(out, primals, tangents, attrs, src, res):
            return tangents[0]

        nodes = 1_000_000
        tape = DynamicTape()
        prev = x = tape.record_input(1.0, [], "f64")
        for _ in range(nodes):
            prev = tape.record_operation("f", [prev], 1.0, None, [], "f64")
        tape.mark_output(prev)
        tape.freeze([None, rule], [None, None], [None, None])

        def vm_bytes():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        # Sixteen lanes of one slot per node need 128 MiB; allow half.
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (64 << 20), hard))
        try:
            dynamic_jvp_many(tape, [[(x, 1.0)]] * 16, [prev])
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(dynamic_jvp(tape, [(x, 2.0)], [prev]), tape.is_consumed)
    """)
    assert out == "MemoryError\n[2.0] False\n"


# Threads ----------------------------------------------------------------------


class BlockingIds:
    """A node-ID sequence whose first read waits until released, holding up
    the method that converts it while that method holds the tape."""

    def __init__(self, ids):
        self.ids = ids
        self.entered = threading.Event()
        self.proceed = threading.Event()

    def __len__(self):
        return len(self.ids)

    def __getitem__(self, index):
        if index == 0:
            self.entered.set()
            assert self.proceed.wait(30)
        return self.ids[index]


class Reader:
    """Another thread reading the tape's values, held up while it holds the
    tape shared; started from inside a rule, while the walk holds nothing."""

    def __init__(self, tape, ids):
        self.tape = tape
        self.blocking = BlockingIds(ids)
        self.outcome = {}
        self.thread = None

    def start(self):
        if self.thread is not None:
            return
        self.thread = threading.Thread(target=self.read)
        self.thread.start()
        assert self.blocking.entered.wait(30)

    def read(self):
        try:
            self.outcome["values"] = self.tape.values(self.blocking)
        except Exception as exc:  # reported by the test
            self.outcome["error"] = exc

    def finish(self):
        self.blocking.proceed.set()
        if self.thread is not None:
            self.thread.join()


@pytest.mark.serial
@pytest.mark.parametrize("direction", ["jvp", "vjp"])
def test_a_consuming_walk_never_frees_payloads_under_another_threads_reader(direction):
    reader = None

    def jvp(out, primals, tangents, attrs, src, res):
        reader.start()
        return tangents[0]

    def vjp(out, primals, ct, attrs, active, res, specs, src):
        reader.start()
        return [ct]

    tape, y = chain_tape(3, value=7.0, jvp=jvp, vjp=vjp, needs=(True, True, False))
    reader = Reader(tape, [0, 1, 2, 3])
    try:
        with pytest.raises(RuntimeError) as failure:
            if direction == "jvp":
                dynamic_jvp(tape, [(0, 1.0)], [y], consume=True)
            else:
                dynamic_vjp(tape, [(y, 1.0)], [0], consume=True)
        assert str(failure.value) == "Already borrowed"
        # A reverse walk meets the reader when it retires the first node's
        # payloads; its end then meets it again.
        notes = ["DynamicTape payload release also failed: Already borrowed"] if direction == "vjp" else []
        assert getattr(failure.value, "__notes__", []) == notes
        assert not tape.is_consumed
    finally:
        reader.finish()
    assert reader.outcome == {"values": [7.0, 7.0, 7.0, 7.0]}
    # With the reader gone the tape consumes normally.
    if direction == "jvp":
        assert dynamic_jvp(tape, [(0, 1.0)], [y], consume=True) == [1.0]
    else:
        assert dynamic_vjp(tape, [(y, 1.0)], [0], consume=True) == [1.0]
    assert tape.is_consumed


@pytest.mark.serial
def test_a_plain_walk_runs_beside_another_threads_reader():
    reader = None

    def jvp(out, primals, tangents, attrs, src, res):
        reader.start()
        return tangents[0]

    tape, y = chain_tape(3, value=7.0, jvp=jvp)
    reader = Reader(tape, [y])
    try:
        assert dynamic_jvp(tape, [(0, 2.0)], [y]) == [2.0]
    finally:
        reader.finish()
    assert reader.outcome == {"values": [7.0]}


# Argument tuples ------------------------------------------------------------------


@pytest.mark.no_leak_check
def test_rules_scanning_every_object_never_meet_a_half_built_tuple():
    out = run_isolated("""
        import gc
        from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_vjp

        def scan():
            for obj in gc.get_objects():
                if type(obj) is tuple:
                    for item in obj:
                        type(item)

        def jvp(out, primals, tangents, attrs, src, res):
            scan()
            return tangents[0]

        def vjp(out, primals, ct, attrs, active, res, specs, src):
            scan()
            return [ct] * len(primals)

        # Binary and unary nodes alternate, so the arguments of one arity
        # are done with while a rule of the other runs.
        tape = DynamicTape()
        prev = x = tape.record_input(1.0, [], "f64")
        for _ in range(3):
            prev = tape.record_operation("g", [prev, prev], 1.0, None, [], "f64")
            prev = tape.record_operation("f", [prev], 1.0, None, [], "f64")
        tape.mark_output(prev)
        needs = (False, True, False)
        tape.freeze([None, jvp, jvp], [None, vjp, vjp], [None, needs, needs])
        print(dynamic_jvp(tape, [(x, 1.0)], [prev]), dynamic_vjp(tape, [(prev, 1.0)], [x]))
    """)
    assert out == "[1.0] [8.0]\n"


class Box(list):
    """A container value that supports weak references."""


def test_a_cycle_through_a_rules_argument_tuple_is_collected():
    # The first rule's operands are atomic, so a collection during its call
    # may stop tracking its tuple; the second rule closes a cycle through
    # its own operand tuple, which must be tracked to be collected.
    def jvp(out, primals, tangents, attrs, src, res):
        if isinstance(primals[0], Box):
            primals[0].append(primals)
        else:
            gc.collect()
        return tangents[0]

    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f64")
    box = Box()
    a = tape.record_operation("f", [x], box, None, [], "f64")
    b = tape.record_operation("f", [a], 1.0, None, [], "f64")
    tape.mark_output(b)
    tape.freeze([None, jvp], [None, None], [None, None])
    assert dynamic_jvp(tape, [(x, 1.0)], [b]) == [1.0]
    ref = weakref.ref(box)
    del box, tape
    gc.collect()
    assert ref() is None


# Callers' containers changed by the conversion of another argument ------------------

# Each trigger edits a list from Python code the core runs while reading the
# list, and prints what the call returned.
EDIT_PRELUDE = """
import vorlix._native_core as core
b = core.GraphBuilder(required_array_api_version="2024.12")
def plan_of(shape):
    b.append_output(b.append_input_node(shape, "float64"))
    return core.build_graph_execution_plan(b.finish()[0], None)
"""


@pytest.mark.no_leak_check
@pytest.mark.parametrize("flags", [(), ("-X", "dev")], ids=["plain", "dev"])
@pytest.mark.parametrize("code, printed", [
    pytest.param("""
        class Extent:
            def __index__(self):
                shape.clear()
                return 2
        shape = [Extent(), 3]
        value = type("Value", (), {"dtype": "float64", "shape": property(lambda self: shape)})()
        print(len(core.execute_graph(plan_of([2, 3]), [value], [])))
    """, "1", id="an extent empties its value's shape"),
    pytest.param("""
        inputs = [1.5]
        class Constants:
            def __getitem__(self, i):
                inputs[:] = [object()] * 1000
                raise IndexError
        print(core.execute_graph(plan_of([]), inputs, Constants()))
    """, "[1.5]", id="converting constants regrows inputs"),
    pytest.param("""
        class Extents:
            def __getitem__(self, i):
                outer.clear()
                if i:
                    raise IndexError
                return 2
        outer = [Extents(), (2,)]
        b.append_output(b.append_node("f", [b.append_input_node([2], "float64")], {}, [2], "float64",
                                      num_outputs=2, output_shapes=outer, output_dtypes=["float64"] * 2))
        store = b.finish()[0]
        print(store.get_node(store.outputs[0]).output_shapes)
    """, "[[2], [2]]", id="an output shape empties output_shapes"),
])
def test_a_list_edited_while_the_core_reads_it_is_read_as_passed(code, printed, flags):
    assert run_isolated(EDIT_PRELUDE + textwrap.dedent(code), flags=flags) == printed + "\n"


# Cycles through every field --------------------------------------------------------


class Name(str):
    """A str that can refer back to the tape holding it."""


class Value:
    def __init__(self):
        self.ref = None


class Residual(Value):
    payload = None

    def close(self):
        pass


def record_through(field, link):
    """A tape holding `link` in `field`."""
    tape = DynamicTape()
    kw = {}
    if field == "input name":
        tape.record_input(1.0, [], "f64", name=link)
        return tape
    x = tape.record_input(1.0, [], "f64")
    value = link if field == "value" else 1.0
    attrs = link if field == "attrs" else None
    dtype = link if field == "dtype" else "f64"
    op = link if field == "operation name" else "f"
    if field in ("name", "source location"):
        kw["name" if field == "name" else "source_location"] = link
    if field == "literal":
        kw.update(input_positions=[0], literals=(link,))
    node = tape.record_operation(op, [x], value, attrs, [], dtype, **kw)
    if field == "residual":
        tape.record_residual(node, link)
    if field in ("jvp binding", "vjp binding"):
        jvp = link if field == "jvp binding" else None
        vjp = link if field == "vjp binding" else None
        tape.freeze([None, jvp], [None, vjp], [None, (True, True, False) if vjp else None])
    return tape


def callable_link():
    class Rule:
        def __call__(self, *args):
            return None
    return Rule()


@pytest.mark.parametrize(("field", "make"), [
    ("input name", lambda: Name("x")),
    ("name", lambda: Name("y")),
    ("source location", lambda: Name("file.py:1")),
    ("operation name", lambda: Name("op")),
    ("value", Value),
    ("dtype", Value),
    ("attrs", Value),
    ("literal", Value),
    ("residual", Residual),
    ("jvp binding", callable_link),
    ("vjp binding", callable_link),
])
def test_a_cycle_through_any_held_object_is_collected(field, make):
    link = make()
    tape = record_through(field, link)
    link.ref = tape
    ref = weakref.ref(tape)
    del tape, link
    gc.collect()
    assert ref() is None


def test_a_cycle_through_cached_reverse_tuples_is_collected():
    dtype = Value()

    def vjp(out, primals, ct, attrs, active, res, specs, src):
        return [ct]

    tape = DynamicTape()
    x = tape.record_input(1.0, [], dtype)
    y = tape.record_operation("f", [x], 1.0, None, [], "f64")
    tape.mark_output(y)
    tape.freeze([None, None], [None, vjp], [None, (False, True, False)])
    dynamic_vjp(tape, [(y, 1.0)], [x])
    dtype.ref = tape
    ref = weakref.ref(tape)
    del tape, dtype
    gc.collect()
    assert ref() is None


# Exceptions keep their type ------------------------------------------------------


class WeakValue:
    """A weak scalar whose dtype read fails with `error`."""

    def __init__(self, error):
        self.error = error

    @property
    def dtype(self):
        raise self.error

    def __float__(self):
        return 3.0


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_a_weak_scalars_dtype_failure_passes_unless_ordinary(error):
    seen = []

    def jvp(out, primals, tangents, attrs, src, res):
        seen.append(primals)
        return tangents[0]

    tape, y = chain_tape(1, value=WeakValue(error), jvp=jvp, weak_input=True)
    with pytest.raises(error):
        dynamic_jvp(tape, [(0, 1.0)], [y])
    assert seen == []
    assert not tape.is_consumed


def test_an_ordinary_dtype_failure_leaves_the_weak_scalar_as_it_is():
    seen = []

    def jvp(out, primals, tangents, attrs, src, res):
        seen.append(primals[0])
        return tangents[0]

    value = WeakValue(ValueError("no dtype"))
    tape, y = chain_tape(1, value=value, jvp=jvp, weak_input=True)
    assert dynamic_jvp(tape, [(0, 1.0)], [y]) == [1.0]
    assert seen == [value]


class FailingSequence:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupted_contribution_sequences_pass_unchanged(error):
    def vjp(out, primals, ct, attrs, active, res, specs, src):
        return FailingSequence(error)

    tape, y = chain_tape(1, vjp=vjp)
    with pytest.raises(error):
        dynamic_vjp(tape, [(y, 1.0)], [0])


def test_an_ordinary_failure_of_a_contribution_sequence_becomes_the_documented_value_error():
    def vjp(out, primals, ct, attrs, active, res, specs, src):
        return FailingSequence(LookupError("gone"))

    tape, y = chain_tape(1, vjp=vjp)
    with pytest.raises(ValueError, match=r"^VJP for 'f' at dynamic node %1 must return a sequence: gone$"):
        dynamic_vjp(tape, [(y, 1.0)], [0])


# Finalizers run after the borrow ---------------------------------------------------


class Literal:
    def __init__(self, tape, log):
        self.tape, self.log = tape, log

    def __del__(self):
        try:
            self.log.append(self.tape.node_count)
        except RuntimeError as exc:
            self.log.append(str(exc))


class FreshLiterals:
    """A sequence whose items exist only while the tape converts them."""

    def __init__(self, tape, log):
        self.tape, self.log = tape, log

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index >= 1:
            raise IndexError(index)
        return Literal(self.tape, self.log)


@pytest.mark.parametrize(("prepare", "op", "message"), [
    (lambda tape: tape.freeze([None], [None], [None]), "f", "^DynamicTape is frozen$"),
    (lambda tape: None, "", "^dynamic tape operation name must not be empty$"),
])
def test_a_refused_recording_drops_its_literals_after_the_borrow(prepare, op, message):
    log = []
    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f64")
    prepare(tape)
    with pytest.raises((RuntimeError, ValueError), match=message):
        tape.record_operation(op, [x], 1.0, None, [], "f64", input_positions=[0],
                              literals=FreshLiterals(tape, log))
    assert log == [1]


def test_a_replaced_operation_name_is_dropped_after_the_borrow():
    log = []

    class OpName(str):
        def __del__(self):
            try:
                log.append(tape.node_count)
            except RuntimeError as exc:
                log.append(str(exc))

    tape = DynamicTape()
    x = tape.record_input(1.0, [], "f64")
    tape.record_operation(OpName("f"), [x], 1.0, None, [], "f64")
    tape.record_operation("g", [x], 1.0, None, [], "f64")
    assert log == [3]


# Interpreter versions ----------------------------------------------------------------


def test_negative_extents_are_overflow_errors():
    tape = DynamicTape()
    with pytest.raises(OverflowError, match=r"^argument 'shape': item 0: int is outside the range of u64$"):
        tape.record_input(1.0, [-2**40], "f64")


@pytest.mark.no_leak_check  # ctypes keeps what it loads
def test_version_specific_paths_are_compiled_where_the_headers_offer_them():
    import ctypes

    binary = pathlib.Path(core.__file__).read_bytes()
    library = ctypes.CDLL(core.__file__)
    assert hasattr(library, "PyModExport__native_core") == (sys.version_info >= (3, 15))
    assert (b"PyLong_AsUInt64" in binary) == (sys.version_info >= (3, 14))
    # A debug interpreter needs a module built with Py_DEBUG, whose reference
    # counting reports to the interpreter's total.
    assert (b"_Py_INCREF_IncRefTotal" in binary) == hasattr(sys, "gettotalrefcount")


@pytest.mark.skipif(sys.version_info < (3, 15), reason="the export hook is offered from 3.15 on")
@pytest.mark.no_leak_check
def test_module_loaded_through_the_export_hook_has_state_runs_exec_once_and_frees_it():
    out = run_isolated("""
        import ctypes, gc, sys, weakref
        import vorlix, vorlix._native_core as core

        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        init = ctypes.PyDLL(core.__file__).PyInit__native_core
        init.restype = ctypes.c_void_p
        size, token = ctypes.c_ssize_t(), ctypes.c_void_p()
        assert api.PyModule_GetStateSize(ctypes.py_object(core), ctypes.byref(size)) == 0
        assert api.PyModule_GetToken(ctypes.py_object(core), ctypes.byref(token)) == 0
        print(api.PyModule_GetDef(ctypes.py_object(core)), size.value > 0, token.value == init())
        tape = core.DynamicTape()
        x = tape.record_input(1.0, [], "f64")
        tape.mark_output(x)
        tape.freeze([None], [None], [None])
        print(len(core.__all__), core.dynamic_jvp(tape, [(x, 2.0)], [x]))

        tape_type = weakref.ref(core.DynamicTape)
        del sys.modules["vorlix._native_core"], vorlix._native_core, core, tape
        gc.collect()
        print(tape_type())
    """)
    assert out == "None True True\n14 [2.0]\nNone\n"


@pytest.mark.no_leak_check
def test_names_outlive_a_released_module_object_only_as_long_as_a_module_lives():
    out = run_isolated("""
        import gc, importlib, sys
        import vorlix._native_core as first
        del sys.modules["vorlix._native_core"]
        second = importlib.import_module("vorlix._native_core")
        assert second is not first
        del first
        gc.collect()

        class Residual:
            def __init__(self):
                self.payload = 2.0
                self.closed = 0
            def close(self):
                self.closed += 1

        def jvp(out, primals, tangents, attrs, src, res):
            return tangents[0] * res

        tape = second.DynamicTape()
        x = tape.record_input(1.0, [], "f64")
        y = tape.record_operation("f", [x], 1.0, None, [], "f64", name="y")
        assert tape.get_node_name(y) == "y"
        residual = Residual()
        tape.record_residual(y, residual)
        tape.mark_output(y)
        tape.freeze([None, jvp], [None, None], [None, None])
        print(second.dynamic_jvp(tape, [(x, 1.0)], [y], consume=True), residual.closed)
    """)
    assert out == "[2.0] 1\n"
