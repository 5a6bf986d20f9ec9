// ArgsPropagationParser.parse_args: parse what this stage knows and leave the
// rest in sys.argv for the next stage.
#include "parser/parser.hpp"

namespace tavik::parser {

namespace {

Name n_parse_known_args{"parse_known_args"};
Name n_argv{"argv"};

// sys.argv = sys.argv[:1] + unknowns; a new list, so whoever kept the old
// one still sees all of it.
int hand_on(Function* self, PyObject* unknowns) {
    Ref argv = global_attr(self, n_sys, n_argv);
    Ref head = argv ? slice_to(argv.get(), 1) : Ref();
    Ref rest = head ? Ref::steal(PyNumber_Add(head.get(), unknowns)) : Ref();
    if (!rest) return -1;
    Ref sys = lookup(self, n_sys);
    if (!sys) return -1;
    return PyObject_SetAttr(sys.get(), n_argv.get(), rest.get());
}

// parse_args(self, args=None, namespace=None)
PyObject* parse_args(Function* self, PyObject* const* a) {
    PyObject* parser = a[0];
    Ref result = call_method(parser, n_parse_known_args, a[1], a[2]);
    if (!result) return nullptr;
    Ref known[2];
    if (!unpack(result.get(), known, 2)) return nullptr;
    if (hand_on(self, known[1].get()) < 0) return nullptr;
    return known[0].release();
}

}  // namespace

const FunctionSpec parse_args_spec = {
    "parse_args",
    "ArgsPropagationParser.parse_args",
    nullptr,
    {{"self"}, {"args"}, {"namespace"}},
    parse_args,
};

}  // namespace tavik::parser
