import os
import sys

from hypothesis import HealthCheck, settings

# The test helpers live next to the tests.
sys.path.insert(0, os.path.dirname(__file__))

# No example may fail for taking long: the machine is shared and timing is not what is tested.
settings.register_profile("norva", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("norva")
