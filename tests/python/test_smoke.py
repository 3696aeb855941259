import _pilora_lib
def test_import():
    assert _pilora_lib.__doc__ == "Pilora Lib for Python"
