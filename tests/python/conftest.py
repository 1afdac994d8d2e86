import ctypes

import pytest

# Set when the interpreter runs with the AddressSanitizer runtime loaded
# (./dev check): its quarantine keeps freed memory for a while, so the RSS of
# the process says nothing about leaks there, and its leak checker does.
_process = ctypes.CDLL(None)
UNDER_ASAN = hasattr(_process, "__asan_init")

if UNDER_ASAN:
    # numpy's extension module has the interpreter allocate two small blocks
    # at import that are never freed, the only leak reports of the suite:
    # import it once with leak detection paused on this thread.
    _process.__lsan_disable()
    try:
        import numpy  # noqa: F401
    finally:
        _process.__lsan_enable()

import sorvan  # noqa: E402


@pytest.fixture(params=["Trie", "DAWG"])
def lexicon_class(request):
    """Each lexicon class of the module, for behaviour both share."""
    return getattr(sorvan, request.param)
