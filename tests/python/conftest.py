import pytest

import sorvan


@pytest.fixture(params=["Trie", "DAWG"])
def lexicon_class(request):
    """Each lexicon class of the module, for behaviour both share."""
    return getattr(sorvan, request.param)
