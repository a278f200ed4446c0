"""Every coroutine and log generator against its plain-Python twin, under random call sequences."""
import pytest
from hypothesis import given, settings, strategies as st

from conftest import COROUTINES, GENERATORS, PROFILE, compare, scripts

FUNCTIONS = [(m, f) for m, names in {**COROUTINES, **GENERATORS}.items() for f in names]


@pytest.mark.parametrize("module, function", FUNCTIONS, ids=[f"{m}.{f}" for m, f in FUNCTIONS])
@settings(settings.get_profile(PROFILE))
@given(data=st.data())
def test_native_behaves_as_its_twin(loop, module, function, data):
    compare(data.draw(scripts(module, function)), loop)
