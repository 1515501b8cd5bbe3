import random

import pytest


@pytest.fixture
def rng():
    """A seeded generator, so generated parity cases are reproducible."""
    return random.Random(20261207)
