"""A typical user script over both packages. CI checks it with `mypy --strict` and runs it."""
import numpy as np
import numpy.typing as npt

import quorvel
import quorvel_tools


def round_trip(signal: npt.NDArray[np.float32], method: str) -> npt.NDArray[np.float32]:
    options = quorvel.TarvoCompressionOptions(method=method, scale=10, cutoff="medium")
    blob: bytes = quorvel.compress_signal(signal, options)
    return quorvel.decompress_signal(blob)


def aimed(signal: npt.NDArray[np.float32]) -> float:
    container: bytes = quorvel_tools.encode(signal, max_error=0.01, method="auto", effort="fast")
    info = quorvel_tools.inspect(container)
    decoded = quorvel_tools.decode(container)
    quality = quorvel_tools.measure(signal, decoded)
    rows: list[bytes] = quorvel_tools.encode_rows(np.stack([signal, signal]), rmse=0.005, threads=2)
    assert info.sample_count == signal.size and len(rows) == 2
    return quality.max_error


def main() -> None:
    t = np.linspace(0.0, 1.0, 2000, dtype=np.float32)
    signal = np.sin(40.0 * t).astype(np.float32)
    restored = round_trip(signal, "db4")
    print(quorvel_tools.__version__, float(np.max(np.abs(restored - signal))), aimed(signal))


if __name__ == "__main__":
    main()
