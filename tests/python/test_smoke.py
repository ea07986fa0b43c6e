import tarvik


def test_imports():
    assert tarvik.__name__ == "tarvik"
