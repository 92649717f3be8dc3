"""How to encode: the vocabulary of the encoders and the one settings object, checked once.

The names are the codec's own (``quorvel_tools._codec`` holds the C++ tables
with the same names in the same order).
"""
from __future__ import annotations

import dataclasses
import functools
import inspect
import math
import numbers
import operator
from typing import TYPE_CHECKING, Any, Callable, Literal, Optional, TypedDict, TypeVar, Union, cast, get_args

if TYPE_CHECKING:
    from typing_extensions import Unpack

FixedMethod = Literal["cdf53", "cdf97", "db4", "sym4"]
Method = Literal["auto", "cdf53", "cdf97", "db4", "sym4"]
Effort = Literal["fast", "default", "best"]
Cutoff = Literal["low", "medium", "high"]
TargetName = Literal["max_error", "rmse", "prd", "max_bytes"]
Format = Literal[1, 2]

METHODS: tuple[str, ...] = get_args(FixedMethod)
EFFORTS: tuple[str, ...] = get_args(Effort)
CUTOFFS: tuple[str, ...] = get_args(Cutoff)
TARGETS: tuple[str, ...] = get_args(TargetName)


class TargetKeywords(TypedDict, total=False):
    """The target keywords of every encoder and file writer, spelled here once: give at most one
    (exactly one where a target is required), in the data's units (``prd`` in percent,
    ``max_bytes`` in bytes)."""

    max_error: Optional[float]
    rmse: Optional[float]
    prd: Optional[float]
    max_bytes: Optional[int]


assert tuple(TargetKeywords.__annotations__) == TARGETS
_Function = TypeVar("_Function", bound=Callable[..., Any])


def takes_targets(function: _Function) -> _Function:
    """`function`, which takes the target keywords as ``**targets``, with a signature that lists them
    (for help() and inspect) before its other keyword-only parameters; any other keyword is refused
    as Python refuses an unknown keyword."""
    signature = inspect.signature(function)
    *named, rest = signature.parameters.values()
    assert rest.kind is inspect.Parameter.VAR_KEYWORD
    at = next((i for i, p in enumerate(named) if p.kind is inspect.Parameter.KEYWORD_ONLY), len(named))
    targets = [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=None, annotation=f"{kind} | None")
               for name, kind in (("max_error", "float"), ("rmse", "float"), ("prd", "float"), ("max_bytes", "int"))]
    known = {p.name for p in named} | set(TARGETS)

    @functools.wraps(function)
    def checked(*args: Any, **kwargs: Any) -> Any:
        unknown = next((name for name in kwargs if name not in known), None)
        if unknown is not None:
            raise TypeError(f"{function.__name__}() got an unexpected keyword argument {unknown!r}")
        return function(*args, **kwargs)

    checked.__signature__ = signature.replace(parameters=[*named[:at], *targets, *named[at:]])  # type: ignore[attr-defined]
    return cast(_Function, checked)
AUTO = "auto"
SCALES = range(6, 13)
FORMATS: tuple[int, ...] = get_args(Format)
# The settings of the numcodecs and Zarr codecs, in the order their repr writes them.
CODEC_PARAMETERS = ("max_error", "rmse", "prd", "method", "scale", "cutoff", "effort", "format")
# The largest budget: no byte count on a 64-bit machine exceeds it.
MAX_BYTES = 2**63 - 1


def _choice(name: str, value: object, choices: tuple[str, ...]) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in choices:
        allowed = ", ".join(repr(choice) for choice in choices)
        raise ValueError(f"unknown {name} {value!r}; expected one of {allowed}")


def _shown(value: object) -> str:
    """`value` for a message; a number beyond the float range by its size, as its digits would say nothing."""
    try:
        float(value)  # type: ignore[arg-type]
    except OverflowError:
        if isinstance(value, int):
            return f"an integer of {abs(value).bit_length()} bits"
        return f"a {type(value).__name__} beyond the float range"
    return repr(value)


def _figure(name: str, value: object) -> Union[float, int]:
    """A target's value: a non-negative finite number (for max_bytes an int, at most MAX_BYTES)."""
    if name == "max_bytes":
        if isinstance(value, bool):
            raise TypeError("max_bytes must be an int, not bool")
        count = operator.index(value)  # type: ignore[arg-type]  # TypeError for anything but an integer
        if count < 0:
            raise ValueError(f"max_bytes must be a non-negative number, got {_shown(count)}")
        if count > MAX_BYTES:
            raise ValueError(f"max_bytes must be at most 2**63 - 1, got {_shown(count)}")
        return count
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:  # an int or a fraction beyond the largest float
        number = -math.inf if value < 0 else math.inf
    if math.isnan(number) or number < 0:
        raise ValueError(f"{name} must be a non-negative number, got {_shown(value)}")
    if math.isinf(number):
        raise ValueError(f"{name} must be finite, got {_shown(value)}")
    return number


def _container_format(settings: Settings) -> Format:
    """The container version of these settings: ``format`` as given (checked),
    else 2, or 1 for what only version 1 has (fixed settings, a wavelet)."""
    version_1 = settings.target is None or settings.method != AUTO
    if settings.format is None:
        return 1 if version_1 else 2
    if isinstance(settings.format, bool) or not isinstance(settings.format, int):
        raise TypeError(f"format must be an int, not {type(settings.format).__name__}")
    if settings.format not in FORMATS:
        raise ValueError(f"format must be 1 or 2, got {settings.format}")
    if settings.format == 2 and settings.target is None:
        raise ValueError("format 2 is encoded to a target (max_error, rmse, prd or max_bytes); "
                         "fixed method, scale and cutoff write format 1")
    if settings.format == 2 and version_1:
        raise ValueError(f"format 2 uses no wavelet: method must be 'auto', got {settings.method!r} "
                         "(a wavelet writes format 1)")
    return settings.format


def thread_count(threads: Optional[int]) -> int:
    """A thread count for the codec: at least 1, or 0 (one per processor) for None."""
    if threads is None:
        return 0
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return count


@dataclasses.dataclass(frozen=True)
class Settings:
    """How to encode a signal, or every lane of an array.

    With a target, the aimed encoder meets it: ``target`` names it
    (``"max_error"``, ``"rmse"``, ``"prd"`` or ``"max_bytes"``) and ``value`` is
    its figure, with ``method`` (``"auto"`` or one of the four wavelets) and
    ``effort``. Without one, every container gets the fixed ``method``,
    ``scale`` (6 to 12) and ``cutoff``. ``format`` is the container version:
    2 (smaller, made for a target; read by quorvel_tools only) or 1 (read by
    the ``quorvel`` module too). None chooses 2 for a target with method
    ``"auto"``, and 1 for fixed settings or a named wavelet, which only version 1
    has; asking version 2 for those is a ``ValueError``. The fields are checked
    when the object is made; :meth:`of` makes one from the keyword arguments
    the encoders take.
    """

    target: Optional[TargetName] = None
    value: Optional[float] = None
    method: Method = "cdf97"
    effort: Optional[Effort] = None
    scale: Optional[int] = 11
    cutoff: Optional[Cutoff] = "low"
    format: Optional[Format] = None

    def __post_init__(self) -> None:
        self._check_fields()
        object.__setattr__(self, "format", _container_format(self))

    def _check_fields(self) -> None:
        if self.target is not None:
            _choice("target", self.target, TARGETS)
            object.__setattr__(self, "value", _figure(self.target, self.value))
            _choice("method", self.method, (AUTO,) + METHODS)
            _choice("effort", self.effort, EFFORTS)
            if self.scale is not None or self.cutoff is not None:
                raise ValueError("scale and cutoff fix the quantisation; they cannot be combined with a target")
            return
        if self.effort is not None:
            raise ValueError("effort applies to a target (max_error, rmse, prd or max_bytes); none was given")
        if self.value is not None:
            raise ValueError("a value needs a target (max_error, rmse, prd or max_bytes)")
        _choice("method", self.method, METHODS)
        _choice("cutoff", self.cutoff, CUTOFFS)
        if isinstance(self.scale, bool) or not isinstance(self.scale, int):
            raise TypeError(f"scale must be an int, not {type(self.scale).__name__}")
        if self.scale not in SCALES:
            raise ValueError(f"scale must be 6 to 12, got {self.scale}")

    @classmethod
    @takes_targets
    def of(
        cls,
        *,
        method: Optional[str] = None,
        scale: Optional[int] = None,
        cutoff: Optional[str] = None,
        effort: Optional[str] = None,
        format: Optional[int] = None,
        target_required: bool = False,
        **targets: Unpack[TargetKeywords],
    ) -> Settings:
        """The settings of these keyword arguments (those of the encoders and codecs).

        At most one target, with method ``"auto"`` and effort ``"default"`` for
        None; without one, method ``"cdf97"``, scale 11 and cutoff ``"low"``
        for None. ``format`` None chooses as the class says.
        ``target_required`` asks for exactly one target, with the method and
        effort as given (``encode``'s own defaults stand for None).

        Raises ``ValueError`` (``TypeError`` for a value of the wrong type) for
        more than one target, a scale or cutoff beside a target, an effort
        without one, unknown names and values out of range.
        """
        given = [(name, value) for name, value in targets.items() if value is not None]
        given.sort(key=lambda item: TARGETS.index(item[0]))
        if given and (scale is not None or cutoff is not None):
            raise ValueError("scale and cutoff fix the quantisation; they cannot be combined with a target")
        if len(given) > 1 or (target_required and not given):
            named = " and ".join(name for name, _ in given) or "none"
            raise ValueError(f"exactly one target is required (max_error, rmse, prd or max_bytes); got {named}")
        if given:
            if not target_required:
                method, effort = AUTO if method is None else method, "default" if effort is None else effort
            return cls(given[0][0], given[0][1], method, effort, None, None, format)  # type: ignore[arg-type]
        if effort is not None:
            raise ValueError("effort applies to a target (max_error, rmse, prd or max_bytes); none was given")
        return cls(None, None, "cdf97" if method is None else method, None,  # type: ignore[arg-type]
                   11 if scale is None else scale, "low" if cutoff is None else cutoff, format)  # type: ignore[arg-type]

    def config(self) -> dict[str, Any]:
        """The settings as keyword arguments of :meth:`of`: ``{target: value, "method", "effort", "format"}``,
        or ``{"method", "scale", "cutoff", "format"}``."""
        if self.target is not None:
            return {self.target: self.value, "method": self.method, "effort": self.effort, "format": self.format}
        return {"method": self.method, "scale": self.scale, "cutoff": self.cutoff, "format": self.format}


def chunk_settings(*, max_bytes: Optional[int] = None, **given: Any) -> Settings:
    """The settings of a chunk codec (numcodecs, Zarr): those of :meth:`Settings.of` but a size
    budget, which would give each chunk its own error, and the chunks of one array must share one."""
    if max_bytes is not None:
        raise ValueError("max_bytes is not a chunk codec target: a byte budget gives every chunk a different "
                         "error; give one error target (max_error, rmse or prd) or fixed settings")
    return Settings.of(**given)
