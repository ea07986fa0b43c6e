"""Build a few arrays and look at what tarvik computes with them."""

from tarvik import PyBoolArray, PyNDArray
from _values import flat_values


def show(label, array):
    print(f"{label:<22} shape={array.shape()} data={flat_values(array)}")


a = PyNDArray([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [2, 3])
b = PyNDArray([0.5, -1.0, 2.0, -3.0, 0.0, 1.5], [2, 3])
show("a", a)
show("b", b)
show("a + b", a.add(b))
show("a * b", a.mul(b))
show("relu(b)", b.relu())
show("a reshaped to [3, 2]", a.reshape([3, 2]))
show("transpose(a)", a.transpose())
show("a @ a.T", a.matmul(a.transpose()))
print(f"{'sum(a), mean(a)':<22} {a.sum()}, {a.mean()}")
print(f"{'argmax(b)':<22} {b.argmax()}")
show("softmax(b)", b.softmax())

mask = PyBoolArray([True, False, True, False, True, False], [2, 3])
show("a where mask", a.boolean_mask(mask))
a.masked_fill(mask, 0.0)
show("a after masked_fill", a)
