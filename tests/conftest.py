import os
import sys

from hypothesis import HealthCheck, settings

# The test helpers live next to the tests.
sys.path.insert(0, os.path.dirname(__file__))

# No example may fail for taking long: the machine is shared and timing is not what is tested.
settings.register_profile("norva", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("norva")


def pytest_report_header(config):
    # Which build is under test: a development build directory or an installed wheel.
    import norva_core

    return f"norva_core: {norva_core.__file__}"
