import numpy as np

from norva_core import Tensor


def test_round_trip_float32():
    data = np.arange(6, dtype=np.float32).reshape(2, 3)
    t = Tensor(data)
    np.testing.assert_array_equal(t.to_numpy(), data)
