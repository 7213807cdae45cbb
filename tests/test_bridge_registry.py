"""Converters registered with the library after import take part exactly as the library
lets them, even for the exact built-in types that the entries otherwise convert
directly.

The converter registry is shared by the whole process, so each case runs in a fresh
interpreter. The extra converters are registered through the library's own entry points
(called with ctypes), as another extension module would register them.
"""
import subprocess
import sys
import textwrap

PRELUDE = textwrap.dedent(r"""
    import ctypes
    import OrvCpp

    path = next(line.split()[-1] for line in open("/proc/self/maps")
                if "libboost_python" in line)
    library = ctypes.CDLL(path)
    CONVERTIBLE = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.py_object)
    CONSTRUCT = ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_void_p)
    signature = [CONVERTIBLE, CONSTRUCT, ctypes.c_char_p, ctypes.c_void_p]
    insert = library._ZN5boost6python9converter8registry6insertEPFPvP7_objectEPFvS5_PNS1_30rvalue_from_python_stage1_dataEENS0_9type_infoEPFPK11_typeobjectvE
    push_back = library._ZN5boost6python9converter8registry9push_backEPFPvP7_objectEPFvS5_PNS1_30rvalue_from_python_stage1_dataEENS0_9type_infoEPFPK11_typeobjectvE
    insert.argtypes = push_back.argtypes = signature
    keep = []

    def register(add, type_name, accepts, value, ctype):
        def convertible(obj):
            return id(obj) if accepts(obj) else None

        def construct(obj, data):
            storage = data + 16  # after the stage-one data: convertible, construct
            ctype.from_address(storage).value = value
            ctypes.c_void_p.from_address(data).value = storage

        callbacks = (CONVERTIBLE(convertible), CONSTRUCT(construct), type_name)
        keep.append(callbacks)
        add(*callbacks, None)

    class Recorder(OrvCpp.OrvClient):
        def __init__(self):
            super().__init__()
            self.seen = []

        def reqIds(self, *args):
            self.seen.append(args)

        def position(self, *args):
            self.seen.append(args[3:])
""")


def run(body):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_converter_inserted_in_front_wins_for_an_exact_int():
    run("""
        client = Recorder()
        client.req_ids(12345)
        register(insert, b"i", lambda obj: type(obj) is int and obj == 12345, 54321, ctypes.c_int)
        client.req_ids(12345)
        client.req_ids(7)
        assert client.seen == [(12345,), (54321,), (7,)], client.seen
    """)


def test_converter_appended_leaves_the_built_in_one_first():
    run("""
        client = Recorder()
        register(push_back, b"i", lambda obj: True, 54321, ctypes.c_int)
        client.req_ids(12345)
        assert client.seen == [(12345,)], client.seen
        # An object the built-in conversion refuses reaches the appended converter.
        client.req_ids(1.5)
        assert client.seen == [(12345,), (54321,)], client.seen
    """)


def test_converter_for_a_plain_python_object():
    run("""
        client = Recorder()
        register(insert, b"d", lambda obj: obj == "pi", 3.25, ctypes.c_double)
        client.simulatePosition("a", "c", "p", "pi", "x")
        client.simulatePosition("a", "c", "p", 2.5, "x")
        assert client.seen == [(3.25,), (2.5,)], client.seen
    """)
