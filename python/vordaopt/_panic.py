"""The exception type the extension raises when its core meets a broken invariant."""

from ._internal import VordaProbe

# A Log range whose minimum exceeds its maximum is refused only when a point is
# mapped into it: the one way to meet the type without a module attribute.
_REVERSED_LOG_RANGE = '{"seed": 0, "budget": 0, "bounds": {"x": {"min": 2, "max": 1, "scale": "Log"}}}'


def _panic_exception_type() -> type[BaseException]:
    try:
        VordaProbe(_REVERSED_LOG_RANGE).sample_at(0)
    except BaseException as error:  # noqa: BLE001 - this is the error we are after
        if type(error).__name__ == "PanicException":
            return type(error)
        raise
    raise ImportError("vordaopt._internal did not raise its internal-error exception")


PanicException = _panic_exception_type()
