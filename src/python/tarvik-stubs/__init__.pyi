"""Compact n-dimensional float64 arrays with exact, documented results.

Engine failures raise ``PanicException`` (derived from ``BaseException``, not an attribute of the
module); argument problems raise TypeError, OverflowError or RuntimeError; a refused allocation raises
MemoryError.
"""

from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar, final

__all__ = ["PyNDArray", "PyBoolArray"]

_T_co = TypeVar("_T_co", covariant=True)

class _Sequence(Protocol[_T_co]):
    """What a sequence parameter accepts: any object with integer indexing, as the interpreter's
    sequence test asks (a list, a tuple, a ``range``, ``bytes``, a numpy array). A ``str`` is
    refused at run time with TypeError."""

    def __getitem__(self, index: int, /) -> _T_co: ...

@final
class PyNDArray:
    """A float64 array of any number of dimensions, stored row-major."""

    def __new__(cls, data: _Sequence[SupportsFloat | SupportsIndex], shape: _Sequence[SupportsIndex]) -> PyNDArray:
        """Builds an array from flat row-major data and a shape.

        Raises PanicException "data length {} does not match shape {} (expected {})".
        """
    def get(self, index: _Sequence[SupportsIndex]) -> float:
        """The element at a multi-index.

        Raises PanicException "length of the given index and shape must match." or
        "index out of bounds for dimension {}: index {}, shape {}".
        """
    def shape(self) -> list[int]:
        """The extents, in order; [] for a zero-dimensional array."""
    def sum(self) -> float:
        """Sum of all elements, left to right from -0.0."""
    def mean(self) -> float:
        """The sum divided by the element count; 0.0 for an empty array."""
    def relu(self) -> PyNDArray:
        """Each element if greater than zero, else +0.0 (NaN and -0.0 give +0.0)."""
    def sigmoid(self) -> PyNDArray:
        """1.0 / (exp(-x) + 1.0) for each element."""
    def softmax(self) -> PyNDArray:
        """exp(x) / sum(exp(x)) over all elements together."""
    def transpose(self) -> PyNDArray:
        """The transposed 2-D array.

        Raises PanicException "transpose requires a 2D array, got {}D".
        """
    def argmax(self) -> int:
        """Flat position of the first largest element (NaN never wins past position 0).

        Raises PanicException "argmax on empty array".
        """
    def scale(self, scalar: SupportsFloat | SupportsIndex) -> PyNDArray:
        """Each element multiplied by ``scalar``."""
    def add(self, other: PyNDArray) -> PyNDArray:
        """Element-wise sum of two arrays of the same shape (no broadcasting).

        Raises PanicException "shape mismatch for addition: {} vs {}".
        """
    def mul(self, other: PyNDArray) -> PyNDArray:
        """Element-wise product of two arrays of the same shape (no broadcasting).

        Raises PanicException "shape mismatch for multiplication: {} vs {}".
        """
    def matmul(self, other: PyNDArray) -> PyNDArray:
        """Matrix product by the module's own kernel, summed in ascending order per element.

        Raises PanicException "matmul requires 2D arrays, got {}D and {}D" or
        "shape mismatch for matmul: self.shape[1] ({}) must equal other.shape[0] ({})".
        """
    def matmul_blas(self, other: PyNDArray) -> PyNDArray:
        """Matrix product through OpenBLAS, summed in its own order (the last bits may differ from ``matmul``).

        Raises PanicException "matmul_blas requires 2D arrays, got {}D and {}D",
        "shape mismatch for matmul_blas: self.shape[1] ({}) must equal other.shape[0] ({})" or, for an
        extent of 2**31 or more, "matmul_blas supports sizes below 2^31, got m = {}, k = {}, n = {}".
        """
    def boolean_mask(self, mask: PyBoolArray) -> PyNDArray:
        """The elements where ``mask`` is true, in row-major order, as a 1-D array.

        Raises PanicException "mask shape {} must equal self shape {}".
        """
    def masked_fill(self, mask: PyBoolArray, value: SupportsFloat | SupportsIndex) -> None:
        """Sets the elements where ``mask`` is true to ``value``, in place.

        Raises PanicException "mask shape {} must equal self shape {}".
        """
    def where_(self, condition: PyBoolArray, other: PyNDArray) -> PyNDArray:
        """This array's element where ``condition`` is true, ``other``'s elsewhere.

        Raises PanicException "shape mismatch: self.shape {}, condition.shape {}, other.shape {}".
        """
    def fancy_index(self, indices: _Sequence[SupportsIndex]) -> PyNDArray:
        """The elements of a 1-D array at ``indices``, in their order.

        Raises PanicException "fancy_index is only valid for 1D arrays, got {}D" or
        "index out of bounds for dimension {}: index {}, shape {}".
        """
    def slice_row(self, row: SupportsIndex) -> PyNDArray:
        """Row ``row`` of a 2-D array, as a 1-D array.

        Raises PanicException "slice_row requires a 2D array, got {}D" or
        "index out of bounds for dimension 0: index {}, shape {}".
        """
    def slice_col(self, col: SupportsIndex) -> PyNDArray:
        """Column ``col`` of a 2-D array, as a 1-D array.

        Raises PanicException "slice_col requires a 2D array, got {}D" or
        "index out of bounds for dimension 1: index {}, shape {}".
        """
    def slice_range(self, axis: SupportsIndex, start: SupportsIndex, end: SupportsIndex) -> PyNDArray:
        """Positions [start, end) along ``axis``, every other axis whole.

        Raises PanicException "axis {} is out of bounds for NDArray with {} dimensions",
        "invalid range: start {} must be less than end {}" or
        "range end {} is out of bounds for axis {} with shape {}", checked in that order.
        """
    def reshape(self, new_shape: _Sequence[SupportsIndex]) -> PyNDArray:
        """The same elements, in the same flat order, under ``new_shape``.

        Raises PanicException "data length {} does not match shape {} (expected {})".
        """
    def gather(self, axis: SupportsIndex, indices: _Sequence[SupportsIndex]) -> PyNDArray:
        """Positions ``indices`` along ``axis``, every other axis whole.

        Raises PanicException "axis {} is out of bounds for NDArray with {} dimensions" or
        "index {} out of bounds for axis {} with shape {}" for the first bad index in list order.
        """
    def set_slice(
        self, axis: SupportsIndex, start: SupportsIndex, end: SupportsIndex, value: SupportsFloat | SupportsIndex
    ) -> None:
        """Sets positions [start, end) along ``axis`` to ``value``, in place.

        Raises the messages of ``slice_range``, all checked before the first write.
        """
    def cumsum(self) -> PyNDArray:
        """Running sums of the flat elements from +0.0, as a 1-D array."""

@final
class PyBoolArray:
    """A boolean array of any number of dimensions, used as mask and condition."""

    def __new__(cls, data: _Sequence[bool], shape: _Sequence[SupportsIndex]) -> PyBoolArray:
        """Builds a mask from flat row-major booleans and a shape; items must be ``bool`` or ``numpy.bool_``.

        Raises PanicException "data length {} does not match shape {} (expected {})".
        """
    def shape(self) -> list[int]:
        """The extents, in order; [] for a zero-dimensional array."""
