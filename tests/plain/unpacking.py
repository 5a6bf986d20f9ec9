"""What the plain renderings share: unpacking with the parser's own texts
and slicing with the "unsliceable" text."""


def _need_more(found):
    return ValueError("need more than %d value%s to unpack" % (found, "" if found == 1 else "s"))


def _unpack(obj, n):
    """Unpacks obj into exactly n values with the module's own texts (used
    only where those texts are asked for)."""
    if type(obj) is tuple or type(obj) is list:
        if len(obj) > n:
            raise ValueError("too many values to unpack (expected %d)" % n)
        if len(obj) < n:
            raise _need_more(len(obj))
        return list(obj)
    it = iter(obj)
    out = []
    for i in range(n):
        try:
            out.append(next(it))
        except StopIteration:
            raise _need_more(i) from None
    try:
        next(it)
    except StopIteration:
        return out
    raise ValueError("too many values to unpack (expected %d)" % n)


def _type_name(t):
    # The C-level type name: qualified by its module for a static type.
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":
        return t.__name__
    return t.__module__ + "." + t.__name__


def _slice_to(obj, stop):
    """obj[:stop]; an object without subscription is "unsliceable"."""
    if not any("__getitem__" in vars(c) for c in type(obj).__mro__):
        raise TypeError("'%.200s' object is unsliceable" % _type_name(type(obj)))
    return obj[:stop]
