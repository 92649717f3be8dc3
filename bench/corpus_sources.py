"""Where each corpus signal comes from and how it is read (bench/corpus.py extracts them).

Every loader reads one file that an installed package ships and returns the samples as the source
holds them: integers stay integers (with the scale that puts them on their physical or PCM grid),
floats stay floats. Paths of PyPI packages are relative to the installed package's folder; Debian
paths are absolute.
"""

from __future__ import annotations

import csv
import dataclasses
import functools
import gzip
import io
import pathlib
import pickle
import tarfile
from typing import Callable, Sequence

import numpy as np


@dataclasses.dataclass
class Signal:
    data: np.ndarray               # (time,) or (channels, time)
    rate: float                    # samples per second
    scale: float = 1.0             # integer sources: physical value of one step
    grid: float | None = None      # float sources: step the values are known to sit on
    bits: int | None = None        # audio sample width
    channel_names: Sequence[str] = ()


@dataclasses.dataclass(frozen=True)
class Source:
    name: str
    kind: str
    unit: str
    package: str
    path: str
    licence: str
    note: str
    load: Callable[[pathlib.Path], Signal]


# --- readers ---------------------------------------------------------------------------------

def read_csv_columns(path: pathlib.Path, columns: Sequence[str], skip: int = 0,
                     text: str | None = None) -> list[list[str]]:
    lines = (text if text is not None else path.read_text()).splitlines()[skip:]
    rows = list(csv.DictReader(lines))
    return [[row[c] for row in rows] for c in columns]


def audio(path: pathlib.Path, channel: int | None = None) -> Signal:
    """PCM as integers: 16-bit kept, 24-bit shifted down from soundfile's int32."""
    import soundfile

    info = soundfile.info(str(path))
    bits = {"PCM_16": 16, "PCM_24": 24}[info.subtype]
    pcm, rate = soundfile.read(str(path), dtype="int32", always_2d=True)
    pcm = (pcm >> (32 - bits)).T
    names = ("left", "right") if pcm.shape[0] == 2 else ()
    data = pcm[0] if pcm.shape[0] == 1 else (pcm if channel is None else pcm[channel])
    return Signal(data, float(rate), scale=2.0 ** -(bits - 1), bits=bits, channel_names=names)


def obspy_trace(path: pathlib.Path, index: int = 0) -> Signal:
    import obspy

    trace = obspy.read(str(path))[index]
    return Signal(trace.data, float(trace.stats.sampling_rate))


def obspy_traces(path: pathlib.Path, files: Sequence[str], index: int = 0) -> Signal:
    """Traces of several files (or of one file when files is empty) cut to their common length."""
    import obspy

    folder = path if path.is_dir() else path.parent
    traces = [obspy.read(str(folder / f))[index] for f in files] if files else list(obspy.read(str(path)))
    n = min(t.stats.npts for t in traces)
    rates = {t.stats.sampling_rate for t in traces}
    if len(rates) != 1:
        raise ValueError(f"channels at different rates: {rates}")
    return Signal(np.stack([t.data[:n] for t in traces]), float(rates.pop()),
                  channel_names=[t.id for t in traces])


def ascii_column(path: pathlib.Path, rate: float, dtype: str = "float64") -> Signal:
    opener = gzip.open if path.suffix == ".gz" else open
    with opener(path, "rt") as f:
        data = np.loadtxt(f, dtype=dtype, comments="#")
    return Signal(data, rate)


def ascii_components(path: pathlib.Path, suffixes: Sequence[str], rate: float) -> Signal:
    parts = [np.loadtxt(path.with_suffix("." + s)) for s in suffixes]  # path: the first component
    n = min(len(p) for p in parts)
    return Signal(np.stack([p[:n] for p in parts]), rate, channel_names=list(suffixes))


def pickled(path: pathlib.Path, key: str | int, column: int | slice | None = None,
            names: Sequence[str] = (), grid: float | None = None) -> Signal:
    """spkit's sample files: dicts (or a list) of (time,) or (time, channels) arrays and 'fs'."""
    with open(path, "rb") as f:
        content = pickle.load(f)  # data files of the installed spkit wheel
    array = np.asarray(content[key])
    rate = float(content["fs"]) if isinstance(content, dict) else 128.0
    if column is not None:
        array = array[:, column]
    data = array.T if array.ndim == 2 else array
    picked = list(names)[column] if isinstance(column, slice) and names else list(names)
    return Signal(np.ascontiguousarray(data), rate, grid=grid, channel_names=picked)


def heartpy_timer(path: pathlib.Path) -> Signal:
    timer, values = read_csv_columns(path, ("timer", "hr"))
    t = np.asarray(timer, dtype=np.float64) / 1000.0
    return Signal(np.asarray(values, dtype=np.int64), (len(t) - 1) / (t[-1] - t[0]))


def heartpy_datetime(path: pathlib.Path) -> Signal:
    stamps, values = read_csv_columns(path, ("datetime", "hr"))
    t = np.asarray(stamps, dtype="datetime64[us]").astype(np.int64) / 1e6
    return Signal(np.asarray(values, dtype=np.int64), (len(t) - 1) / (t[-1] - t[0]))


def daphnet(path: pathlib.Path, columns: Sequence[str]) -> Signal:
    stamps, *values = read_csv_columns(path, ("timestamp", *columns))
    t = np.asarray(stamps, dtype="datetime64[us]").astype(np.int64) / 1e6
    rate = round((len(t) - 1) / (t[-1] - t[0]))
    data = np.asarray(values, dtype=np.int64)
    return Signal(data[0] if len(columns) == 1 else data, float(rate), channel_names=list(columns))


def tmy3(path: pathlib.Path, column: str, grid: float) -> Signal:
    (values,) = read_csv_columns(path, (column,), skip=1)
    return Signal(np.asarray(values, dtype=np.float64), 1 / 3600, grid=grid)


def msft(path: pathlib.Path, column: str) -> Signal:
    with tarfile.open(path) as archive:
        text = archive.extractfile("msft.csv").read().decode()
    (values,) = read_csv_columns(path, (column,), text=text)
    return Signal(np.asarray(values, dtype=np.float64), 1 / 86400)


def stocks(path: pathlib.Path, column: str) -> Signal:
    (values,) = read_csv_columns(path, (column,), skip=1)
    return Signal(np.asarray([v for v in values if v], dtype=np.float64), 12 / (365.25 * 86400))


def sunspots(path: pathlib.Path) -> Signal:
    with gzip.open(path, "rt") as f:
        data = np.loadtxt(f).ravel()
    return Signal(data, 12 / (365.25 * 86400), grid=0.1)


def taylor(path: pathlib.Path) -> Signal:
    from pmdarima.datasets import load_taylor  # the series is written out in this module

    return Signal(load_taylor().astype(np.int64), 1 / 1800)


# --- the corpus ------------------------------------------------------------------------------

OBSPY = "obspy is LGPL-3.0; waveform from its test data"
SPKIT = "spkit is MIT; the package cites the PhyAAt dataset for its EEG, PPG and EDA samples"
SPKIT_OTHER = "spkit is MIT (package licence; the package does not document the recording's origin)"
HEARTPY = "heartpy is GPL-3.0 (package licence; no separate licence for its data)"
SONIC = "CC0 (Debian copyright of sonic-pi-samples, Freesound #{})"
TMY = "pvlib is BSD-3-Clause; TMY3 data by NREL (US Government work)"
EEG14 = ["AF3", "F7", "F3", "FC5", "T7", "P7", "O1", "O2", "P8", "T8", "FC6", "F4", "F8", "AF4"]
LEADS = ["I", "II", "III", "aVR", "aVL", "aVF", "V1", "V2", "V3", "V4", "V5", "V6"]
P = functools.partial
S = Source


def sonic_pi(name: str, kind: str, sample: str, freesound: int, what: str, bits: int = 16) -> Source:
    return S(name, kind, f"PCM/2^{bits - 1}", "sonic-pi-samples", f"/usr/share/sonic-pi/samples/{sample}.flac",
             SONIC.format(freesound), what, audio)


def _one_dimensional() -> list[Source]:
    sig = "signal/tests/data/"
    return [
        # biosignals
        S("ecg_spkit_contact_2048hz", "ecg", "ADC counts", "spkit", "data/files/ecg_egm_smaple_28s.pkl",
          SPKIT_OTHER,
          "ECG, first of 4 channels ('contact electrocardiogram recorded at high rate' in spkit) recorded with "
          "5 contact electrograms, 28.8 s.",
          P(pickled, key="X", column=0)),
        S("ecg_spkit_12lead_s2_i", "ecg", "as shipped", "spkit", "data/files/ecg_sample_2_12leads.pkl", SPKIT_OTHER,
          "Lead I of the package's second 12-lead ECG sample, 8.2 s at 500 Hz.", P(pickled, key="X", column=0)),
        S("ecg_spkit_12lead_s3_v2", "ecg", "as shipped", "spkit", "data/files/ecg_sample_3_12leads.pkl",
          SPKIT_OTHER, "Lead V2 of the package's third 12-lead ECG sample.", P(pickled, key="X", column=7)),
        S("ppg_heartpy_data2", "ppg", "ADC counts", "heartpy", "data/data2.csv", HEARTPY,
          "PPG of heartpy's examples; rate from the file's millisecond timer (mean).", heartpy_timer),
        S("ppg_heartpy_data3", "ppg", "ADC counts", "heartpy", "data/data3.csv", HEARTPY,
          "PPG of heartpy's examples, 11 min; rate from the file's time stamps (mean).", heartpy_datetime),
        S("ppg_spkit_sample1", "ppg", "ADC counts", "spkit", "data/files/ppg_samples.pkl", SPKIT,
          "PPG sample 1 of spkit (PhyAAt), 34.5 min at 128 Hz.", P(pickled, key="x1")),
        S("eda_spkit_sample1", "eda", "as shipped", "spkit", "data/files/gsr_samples.pkl", SPKIT,
          "Electrodermal activity (GSR, copper plates) sample 1, 34.5 min at 128 Hz, on a 0.01 grid.",
          P(pickled, key="x1", grid=0.01)),
        S("eda_spkit_sample2", "eda", "as shipped", "spkit", "data/files/gsr_samples.pkl", SPKIT,
          "Electrodermal activity sample 2, 36 min at 128 Hz.", P(pickled, key="x2", grid=0.01)),
        S("eeg_spkit_af3", "eeg", "as shipped", "spkit", "data/files/EEG16sec_artifact.pkl", SPKIT,
          "Channel AF3 of the raw 14-channel EEG of the artifact sample, 16 s at 128 Hz.",
          P(pickled, key="X_raw", column=0)),
        S("eeg_spkit_o2", "eeg", "as shipped", "spkit", "data/files/EEG16sec_artifact.pkl", SPKIT,
          "Channel O2 of the same raw 14-channel EEG recording.", P(pickled, key="X_raw", column=7)),
        S("accel_daphnet_thigh_vert", "accelerometer", "mg", "aeon", "datasets/data/Daphnet_S06R02E0/S06R02E0.csv",
          "aeon is BSD-3-Clause; Daphnet Freezing of Gait (Roggen, Plotnik, Hausdorff 2013, UCI) is CC BY 4.0",
          "Vertical acceleration of the thigh sensor, Parkinson's patient walking (S06R02), 64 Hz.",
          P(daphnet, columns=("leg_vert",))),
        S("accel_daphnet_trunk_vert", "accelerometer", "mg", "aeon", "datasets/data/Daphnet_S06R02E0/S06R02E0.csv",
          "aeon is BSD-3-Clause; Daphnet Freezing of Gait (UCI) is CC BY 4.0",
          "Vertical acceleration of the trunk sensor, same walk, 64 Hz.", P(daphnet, columns=("trunk_vert",))),
        # seismic
        S("seismic_bw_kw1_ehz", "seismic", "counts", "obspy", sig + "BW.KW1._.EHZ.D.2011.090_downsampled.asc.gz",
          OBSPY + " (Bavarian network BW)", "Short-period vertical, station KW1, 2011-03-31 00:00-02:36, 100 Hz.",
          P(ascii_column, rate=100.0, dtype="int64")),
        S("seismic_iu_anmo_lhz", "seismic", "counts", "obspy", sig + "IUANMO.seed",
          OBSPY + " (GSN network IU, IRIS/USGS)",
          "Long-period vertical, station ANMO (Albuquerque), one day at 1 Hz.",
          obspy_trace),
        S("seismic_nz_crlz_hhz", "seismic", "as shipped", "obspy", sig + "CRLZ.HHZ.10.NZ.SAC",
          OBSPY + " (GeoNet network NZ)", "Broadband vertical, station CRLZ, 100 Hz (SAC float32).", obspy_trace),
        S("seismic_bw_bgld_ehe", "seismic", "counts", "obspy", "io/mseed/tests/data/timingquality.mseed",
          OBSPY + " (Bavarian network BW)", "Short-period east, station BGLD, 200 Hz.", obspy_trace),
        S("seismic_karc_lhz", "seismic", "as shipped", "obspy", sig + "KARC.LHZ.SAC.asc.gz", OBSPY,
          "Long-period vertical, station KARC, one day at 1 Hz.", P(ascii_column, rate=1.0)),
        S("seismic_ayt_bhz", "seismic", "counts", "obspy", "io/y/tests/data/YAYT_BHZ_20021223.124800",
          OBSPY, "Broadband vertical, station AYT, 2002-12-23, 100 Hz (Nanometrics Y file).", obspy_trace),
        # laboratory
        S("lab_calibration_sts2", "laboratory", "counts", "obspy", sig + "ref_STS2", OBSPY,
          "Relative calibration run: reference STS-2 seismometer beside a sensor under test, 1 h at 200 Hz.",
          obspy_trace),
        S("lab_calibration_unknown", "laboratory", "counts", "obspy", sig + "ref_unknown", OBSPY,
          "The sensor under test of the same calibration run (channel CA.0438..EHZ), 200 Hz.", obspy_trace),
    ]


def _one_dimensional_more() -> list[Source]:
    alsa = "/usr/share/sounds/alsa/"
    tmy_nc, tmy_ak = "data/723170TYA.CSV", "data/703165TY.csv"
    return [
        # voice and music
        S("voice_alsa_front_left", "voice", "PCM/2^15", "alsa-utils", alsa + "Front_Left.wav",
          "GPL-2 (Debian copyright of alsa-utils)", "A voice saying 'front left', 48 kHz 16-bit mono.", audio),
        S("voice_alsa_rear_right", "voice", "PCM/2^15", "alsa-utils", alsa + "Rear_Right.wav",
          "GPL-2 (Debian copyright of alsa-utils)", "A voice saying 'rear right', 48 kHz 16-bit mono.", audio),
        S("voice_apollo11_a11wlk01", "voice", "PCM/2^15", "supercollider-common",
          "/usr/share/SuperCollider/sounds/a11wlk01.wav",
          "GPL-3+ (Debian copyright of supercollider-common, Files: *); NASA Apollo 11 audio",
          "Apollo 11 moonwalk radio speech, 44.1 kHz 16-bit mono.", audio),
        sonic_pi("voice_sonicpi_misc_burp", "voice", "misc_burp", 222022,
                 "A human burp, 44.1 kHz 24-bit mono FLAC.", bits=24),
        sonic_pi("music_sonicpi_guit_e_slide", "music", "guit_e_slide", 2410,
                 "Electric guitar slide, 44.1 kHz 16-bit mono."),
        sonic_pi("music_sonicpi_drum_roll", "music", "drum_roll", 19433,
                 "Snare drum roll, 44.1 kHz 16-bit mono."),
        sonic_pi("music_sonicpi_tabla_ghe6", "music", "tabla_ghe6", 130409,
                 "Tabla stroke, 44.1 kHz 16-bit mono."),
        S("music_asterisk_cold_day", "music", "PCM/2^15", "asterisk-moh-opsound-wav",
          "/usr/share/asterisk/moh/macroform-cold_day.wav", "CC BY-SA 3.0 (Macroform, Paul Shuler)",
          "Electronic music for telephone hold, 8 kHz 16-bit mono, 4 min.", audio),
        # environment, energy, finance
        S("env_tmy3_greensboro_temp", "environment", "deg C", "pvlib", tmy_nc, TMY,
          "Hourly dry-bulb temperature of a typical meteorological year, Greensboro NC.",
          P(tmy3, column="Dry-bulb (C)", grid=0.1)),
        S("env_tmy3_sandpoint_temp", "environment", "deg C", "pvlib", tmy_ak, TMY,
          "Hourly dry-bulb temperature of a typical meteorological year, Sand Point AK.",
          P(tmy3, column="Dry-bulb (C)", grid=0.1)),
        S("env_sunspots_monthly", "environment", "sunspot number", "pmdarima", "datasets/data/sunspots.txt.gz",
          "pmdarima is MIT; series from Zurich and Tokyo observatories (R datasets)",
          "Monthly mean relative sunspot numbers, 1749-1983.", sunspots),
        S("energy_tmy3_greensboro_ghi", "energy", "W/m^2", "pvlib", tmy_nc, TMY,
          "Hourly global horizontal irradiance (solar resource), Greensboro NC.",
          P(tmy3, column="GHI (W/m^2)", grid=1.0)),
        S("energy_tmy3_sandpoint_ghi", "energy", "W/m^2", "pvlib", tmy_ak, TMY,
          "Hourly global horizontal irradiance, Sand Point AK.", P(tmy3, column="GHI (W/m^2)", grid=1.0)),
        S("energy_taylor_demand", "energy", "MW", "pmdarima", "datasets/taylor.py",
          "pmdarima is MIT; series provided by James W. Taylor (Taylor 2003)",
          "Half-hourly electricity demand of England and Wales, 2000-06-05 to 2000-08-27.", taylor),
        S("finance_msft_close", "finance", "USD", "pmdarima", "datasets/data/msft.tar.gz",
          "pmdarima is MIT; Kaggle stock dataset", "MSFT daily close, 1986-03-13 to 2017-11-10 (trading days).",
          P(msft, column="Close")),
        S("finance_nasdaq_monthly", "finance", "index points", "matplotlib", "mpl-data/sample_data/Stocks.csv",
          "Matplotlib licence (PSF-based); the file names Yahoo Finance as the source",
          "NASDAQ Composite (^IXIC) monthly, from 1990.", P(stocks, column="^IXIC")),
        S("finance_sp500_monthly", "finance", "index points", "matplotlib", "mpl-data/sample_data/Stocks.csv",
          "Matplotlib licence (PSF-based); the file names Yahoo Finance as the source",
          "S&P 500 (^GSPC) monthly, from 1990.", P(stocks, column="^GSPC")),
    ]


def _multi_channel() -> list[Source]:
    sig = "signal/tests/data/"
    daphnet_ankle = ("ankle_horiz_fwd", "ankle_vert", "ankle_horiz_lateral")
    return [
        S("multi_eeg_spkit_14ch", "eeg", "as shipped", "spkit", "data/files/EEG16SecData.pkl", SPKIT,
          "14-channel EEG (Emotiv EPOC electrode set), 16 s at 128 Hz.", P(pickled, key=0, names=EEG14)),
        S("multi_ecg_spkit_12lead_s1", "ecg", "as shipped", "spkit", "data/files/ecg_sample_1_12leads.pkl",
          SPKIT_OTHER, "Standard 12-lead ECG, 8.2 s at 500 Hz.", P(pickled, key="X", names=LEADS)),
        S("multi_egm_spkit_5ch", "ecg", "ADC counts", "spkit", "data/files/ecg_egm_smaple_28s.pkl", SPKIT_OTHER,
          "Five contact electrograms recorded with ecg_spkit_contact_2048hz, 2048 Hz.",
          P(pickled, key="X", column=slice(4, 9), names=[f"EGM{i}" for i in range(9)])),
        S("multi_accel_daphnet_ankle", "accelerometer", "mg", "aeon", "datasets/data/Daphnet_S06R02E0/S06R02E0.csv",
          "aeon is BSD-3-Clause; Daphnet Freezing of Gait (UCI) is CC BY 4.0",
          "3-axis ankle accelerometer of the Daphnet walk, 64 Hz.", P(daphnet, columns=daphnet_ankle)),
        S("multi_seismic_rjob_zne", "seismic", "as shipped", "obspy", sig + "loc_RJOB20050801145719850.z", OBSPY,
          "Three components (Z, N, E) of station RJOB, local event 2005-08-01, 200 Hz.",
          P(ascii_components, suffixes=("z", "n", "e"), rate=200.0)),
        S("multi_seismic_bw_uh_network", "seismic", "counts", "obspy", sig + "BW.UH1._.SHZ.D.2010.147.cut.slist.gz",
          OBSPY + " (Bavarian network BW)", "Vertical components of stations UH1, UH2, UH3, 2010-05-27, 50 Hz.",
          P(obspy_traces, files=[f"BW.UH{i}._.SHZ.D.2010.147.cut.slist.gz" for i in (1, 2, 3)])),
        S("multi_seismic_cer_bh", "seismic", "counts", "obspy",
          "io/seisan/tests/data/2005-07-23-1452-04S.CER___030", OBSPY,
          "Three broadband components of station CER (SEISAN file), 2005-07-23, 150 Hz.",
          P(obspy_traces, files=())),
        S("multi_optical_spkit_3px", "laboratory", "as shipped", "spkit", "data/files/optical_bio_samples.pkl",
          SPKIT_OTHER,
          "Three optical mapping traces (spkit's optical_sample; preparation not documented), 1039 Hz.",
          P(pickled, key="X", names=["px0", "px1", "px2"])),
        sonic_pi("multi_stereo_sonicpi_loop_tabla", "music", "loop_tabla", 242591,
                 "Tabla loop, 44.1 kHz 16-bit stereo."),
        sonic_pi("multi_stereo_sonicpi_ambi_piano", "music", "ambi_piano", 51245,
                 "Ambient piano, 44.1 kHz 16-bit stereo."),
        sonic_pi("multi_stereo_sonicpi_perc_swash", "music", "perc_swash", 60009,
                 "Swish percussion, 44.1 kHz 24-bit stereo.", bits=24),
    ]


SOURCES: list[Source] = _one_dimensional() + _one_dimensional_more() + _multi_channel()
