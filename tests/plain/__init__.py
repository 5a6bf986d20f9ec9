"""Plain-Python renderings of tavik.utils.dicts and tavik.utils.parser.

They are the oracle of the property tests (same calls, same results, same
exceptions, same calls into the objects given) and the Python baseline of the
benchmarks. Module-level names are looked up at each use, as the native
modules do, so a test can rebind them on both alike.
"""
