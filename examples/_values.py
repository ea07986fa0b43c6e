"""Reading an array's elements back into Python, shared by the examples."""


def flat_values(array):
    """The elements of `array` as a list of floats, in row-major order."""
    count = 1
    for extent in array.shape():
        count *= extent
    flat = array.reshape([count])
    return [flat.get([i]) for i in range(count)]
