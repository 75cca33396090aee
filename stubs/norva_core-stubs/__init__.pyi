"""A small CPU tensor library with reverse-mode automatic differentiation.

`Tensor` holds an immutable n-dimensional array of float32, float16, bfloat16 or bool elements.
Arithmetic on tensors that require gradients is recorded on the calling thread's graph;
`backward()` differentiates it and `grad()` reads the result. `nn.functional.relu` is the
rectifier.
"""

from collections.abc import Sequence
from typing import (
    Any,
    ClassVar,
    Final,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    final,
    overload,
)

import numpy as np
import numpy.typing as npt

__all__ = ["Tensor", "nn"]

# A Python number: anything with __float__ or __index__ (float, int, bool, NumPy scalars). It is
# rounded to the nearest float32 before use.
_Number: TypeAlias = SupportsFloat | SupportsIndex

# The names the constructor accepts for an element type.
_DTypeName: TypeAlias = Literal["f32", "float32", "f16", "float16", "bf16", "bfloat16", "bool"]

@final
class Tensor:
    """An immutable n-dimensional array on the CPU, optionally recording gradients.

    Tensor(data, dtype=None, device="cpu", requires_grad=False)

    Every operation returns a new tensor; nothing changes an existing one.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(
        cls,
        data: npt.ArrayLike,
        dtype: _DTypeName | str | type | np.dtype[Any] | None = None,
        device: str = "cpu",
        requires_grad: bool | np.bool_ = False,
    ) -> Tensor:
        """Copies `data` (anything `numpy.array` accepts) into a new tensor.

        dtype: "f32"/"float32" (the default), "f16"/"float16", "bf16"/"bfloat16" or "bool"; a
        NumPy type or dtype with one of these names (np.float16, np.dtype("float16")) works too.
        device: "cpu", in any letter case. requires_grad: a bool; True makes the tensor a leaf
        of the calling thread's graph whose gradient `grad()` returns after `backward()`.

        Raises ValueError for an unknown dtype name or device, TypeError for a non-bool
        requires_grad or non-str device, and NumPy's own error for data it cannot convert.
        """

    # Properties

    @property
    def shape(self) -> list[int]:
        """The extent of each axis, outermost first; [] for a zero-dimensional tensor."""

    @property
    def ndim(self) -> int:
        """The number of axes."""

    @property
    def strides(self) -> list[int]:
        """The step of each axis through the tensor's buffer, counted in elements (not bytes)."""

    @property
    def dtype(self) -> Literal["f32", "f16", "bf16", "bool"]:
        """The element type: "f32", "f16", "bf16" or "bool" (accepted back by the constructor)."""

    @property
    def device(self) -> Literal["cpu"]:
        """Always "cpu"."""

    @property
    def requires_grad(self) -> bool:
        """Whether operations on this tensor are recorded for differentiation."""

    # Conversion and shape methods

    def to_numpy(self) -> npt.NDArray[Any]:
        """A new NumPy array holding a copy of the elements (float32, float16, bfloat16 or bool).

        The array never shares memory with the tensor.
        """

    def reshape(self, shape: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]) -> Tensor:
        """The same elements, in row-major order, with a new shape of the same element count.

        Every extent is given explicitly (no -1). Any layout, transposed ones included, can be
        reshaped. Recorded for differentiation. Raises ValueError when the element count
        differs, TypeError for a non-sequence, OverflowError for a negative extent.
        """

    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """The tensor with axes `dim0` and `dim1` exchanged (a strided copy, no element moves).

        Axes count from 0; negative axes are refused (OverflowError) and an axis not below
        `ndim` raises IndexError. Recorded for differentiation.
        """

    def zeros_like(self) -> Tensor:
        """A new tensor of the same shape and element type filled with zeros (False for bool).

        Never records and never requires gradients.
        """

    def ones_like(self) -> Tensor:
        """A new tensor of the same shape and element type filled with ones (True for bool).

        Never records and never requires gradients.
        """

    # Differentiation

    def backward(self) -> None:
        """Differentiates the sum of this tensor's elements through the calling thread's graph.

        Afterwards `grad()` of every tensor on the way (leaves and intermediate results) holds
        its gradient; a later `backward()` replaces the gradients it reaches instead of adding.
        Raises ValueError when the tensor does not require gradients and RuntimeError when its
        graph was discarded by `Tensor.clear_graph()` or belongs to another thread.
        """

    def grad(self) -> npt.NDArray[Any] | None:
        """A new NumPy array with this tensor's gradient from the last `backward()` that reached
        it, or None (never reached, does not require gradients, or its graph was cleared).

        The gradient has the tensor's shape and element type.
        """

    @staticmethod
    def clear_graph() -> None:
        """Discards the calling thread's recorded graph and all its gradients.

        Call it after each training step: the graph otherwise grows with every recorded
        operation. Tensors recorded before it can no longer be differentiated.
        """

    # Arithmetic: recorded when an operand requires gradients. A number is rounded to float32
    # first; dividing by a number multiplies by its float32 reciprocal.

    def __add__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise sum, broadcasting two tensors' shapes."""

    def __radd__(self, other: _Number, /) -> Tensor:
        """number + tensor, element-wise."""

    def __sub__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise difference, broadcasting two tensors' shapes (number - tensor is not
        supported)."""

    def __mul__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise product, broadcasting two tensors' shapes."""

    def __rmul__(self, other: _Number, /) -> Tensor:
        """number * tensor, element-wise."""

    def __truediv__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise quotient, broadcasting two tensors' shapes; by a number, multiplication
        by its float32 reciprocal."""

    def __rtruediv__(self, other: _Number, /) -> Tensor:
        """number / tensor, element-wise."""

    def __matmul__(self, other: Tensor, /) -> Tensor:
        """Batched matrix product over the last two axes; leading (batch) axes broadcast.

        Both operands need at least two axes. 16-bit operands accumulate in float32 and round
        once per output element.
        """

    # Logical operations on bool tensors (never recorded)

    def __and__(self, other: Tensor, /) -> Tensor:
        """Element-wise AND of two bool tensors, broadcasting their shapes."""

    def __or__(self, other: Tensor, /) -> Tensor:
        """Element-wise OR of two bool tensors, broadcasting their shapes."""

    def __xor__(self, other: Tensor, /) -> Tensor:
        """Element-wise XOR of two bool tensors, broadcasting their shapes."""

    def __invert__(self) -> Tensor:
        """Element-wise NOT of a bool tensor."""

    # Comparisons: bool tensors, never recorded. A tensor of another element type raises
    # RuntimeError.

    def __lt__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise self < other."""

    def __le__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise self <= other."""

    def __gt__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise self > other."""

    def __ge__(self, other: Tensor | _Number, /) -> Tensor:
        """Element-wise self >= other."""

    # A tensor or number gives a bool tensor; any other object compares by identity.
    @overload  # type: ignore[override]
    def __eq__(self, other: Tensor | _Number, /) -> Tensor:  # type: ignore[overload-overlap]
        """Element-wise self == other (a bool tensor); any other object gives a bool."""

    @overload
    def __eq__(self, other: object, /) -> bool: ...
    # A tensor or number gives a bool tensor; any other object compares by identity.
    @overload  # type: ignore[override]
    def __ne__(self, other: Tensor | _Number, /) -> Tensor:  # type: ignore[overload-overlap]
        """Element-wise self != other (a bool tensor); any other object gives a bool."""

    @overload
    def __ne__(self, other: object, /) -> bool: ...
    def __req__(self, other: _Number) -> Tensor:
        """Element-wise other == self, for a number `other`."""

    def __rgt__(self, other: _Number) -> Tensor:
        """Element-wise other > self (that is, self < other), for a number `other`."""

    def __rlt__(self, other: _Number) -> Tensor:
        """Element-wise other < self (that is, self > other), for a number `other`."""

class InternalError(BaseException):
    """A broken internal invariant of the tensor engine; please report it. Derives from
    BaseException so that ordinary `except Exception` handlers do not swallow it."""

class _Functional(Protocol):
    """The submodule nn.functional (reached by attribute: `import norva_core.nn` does not work)."""

    def relu(self, py_tensor: Tensor) -> Tensor:
        """The rectifier max(x, 0), element-wise; NaN and -0 give +0.

        Same shape and element type as the input; recorded when the input requires gradients
        (the gradient passes where the input is above zero). A bool tensor raises TypeError.
        """

class _NN(Protocol):
    """The submodule nn (reached by attribute: `import norva_core.nn` does not work)."""

    @property
    def functional(self) -> _Functional:
        """Functions on tensors: relu."""

nn: Final[_NN]
"""Neural-network helpers: `nn.functional.relu`."""
