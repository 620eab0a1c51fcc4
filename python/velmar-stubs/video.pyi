"""Keyframe extraction: ffmpeg decodes a video to 8-bit gray frames, each frame is
scored against the one before it, and the highest-scoring frames are kept and
written as JPEG images."""

import os
from collections.abc import Callable, Sequence
from typing import ClassVar, Literal, TypeAlias, TypedDict, final

from typing_extensions import Self, disjoint_base

__all__ = [
    "PyVideoFrame",
    "PyPerformanceResult",
    "VideoKeyframeExtractor",
    "extract_keyframes_from_video",
    "get_system_info",
    "scan_video",
    "ScanResult",
    "Keyframe",
    "Scene",
    "split_video",
]

# A file name as os.fsencode takes it: a str (names that are not valid in the
# file system's encoding as surrogate escapes), bytes, or an os.PathLike.
_FsPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class PerformanceDict(TypedDict):
    """The fourteen figures of one measured run, as ``PyPerformanceResult.to_dict()`` returns them."""

    test_name: str
    video_file: str
    total_time_ms: float
    frame_extraction_time_ms: float
    keyframe_analysis_time_ms: float
    total_frames: int
    keyframes_extracted: int
    keyframe_ratio: float
    processing_fps: float
    max_keyframes_requested: int
    optimization_type: str
    simd_enabled: bool
    threads_used: int
    timestamp: str

class SystemInfo(TypedDict):
    """What ``get_system_info()`` reports: worker threads, processor features and the version."""

    threads: int
    avx2_supported: bool
    sse2_supported: bool
    version: str

class CpuFeatures(TypedDict):
    """The processor features ``VideoKeyframeExtractor.get_cpu_features()`` reports."""

    fma: bool
    sse4_2: bool
    sse4_1: bool
    sse2: bool
    avx2: bool

@disjoint_base
class PyVideoFrame:
    """One decoded picture: a frame number, its size, and 8-bit gray pixels row by row
    from the top-left corner. Immutable."""

    def __new__(
        cls, frame_number: int, width: int, height: int, data: bytes | bytearray | Sequence[int]
    ) -> Self:
        """Make a frame; ``data`` holds one byte (0-255) per pixel, any sequence but ``str``."""

    @property
    def frame_number(self) -> int:
        """The frame's number (the decoder numbers frames 0, 1, 2, ...)."""

    @property
    def width(self) -> int:
        """Picture width in pixels."""

    @property
    def height(self) -> int:
        """Picture height in pixels."""

    def get_data(self) -> bytes:
        """The ``width * height`` pixel bytes, without padding."""

    def calculate_difference(self, other: PyVideoFrame) -> float:
        """Mean absolute difference of the two pictures' pixels (plain kernel)."""

    def calculate_difference_simd(self, other: PyVideoFrame, block_size: int | None = None) -> float:
        """Mean absolute difference computed block by block on the worker pool with
        AVX2 or SSE2; ``block_size`` defaults to 8192 bytes."""

@final
class PyPerformanceResult:
    """The record of one measured run (``benchmark``, ``process_video``). Made only by
    those calls; every attribute is read-only."""

    @property
    def test_name(self) -> str:
        """The name the run was given."""

    @property
    def video_file(self) -> str:
        """The video's file name, without directories."""

    @property
    def total_time_ms(self) -> float:
        """Milliseconds from the start of decoding to the end of keyframe selection."""

    @property
    def frame_extraction_time_ms(self) -> float:
        """Milliseconds spent decoding."""

    @property
    def keyframe_analysis_time_ms(self) -> float:
        """Milliseconds spent scoring and selecting keyframes."""

    @property
    def total_frames(self) -> int:
        """Number of frames decoded."""

    @property
    def keyframes_extracted(self) -> int:
        """Number of keyframes selected."""

    @property
    def keyframe_ratio(self) -> float:
        """Selected frames as a percentage of decoded frames (NaN when none were decoded)."""

    @property
    def processing_fps(self) -> float:
        """Decoded frames per second of total time."""

    @property
    def max_keyframes_requested(self) -> int:
        """The keyframe limit asked for."""

    @property
    def optimization_type(self) -> str:
        """``"Standard Parallel"`` or ``"SIMD+Parallel(block:N)"``."""

    @property
    def simd_enabled(self) -> bool:
        """Whether the vectorised, block-parallel kernel was used."""

    @property
    def threads_used(self) -> int:
        """Worker threads in the pool at the end of the run."""

    @property
    def timestamp(self) -> str:
        """Local time at the end of the run, ``YYYY-MM-DD HH:MM:SS``."""

    def to_dict(self) -> PerformanceDict:
        """All fourteen fields as a new dict (key order unspecified)."""

@disjoint_base
class VideoKeyframeExtractor:
    """Settings for video work (which ffmpeg to run, threads, progress lines). The first
    extractor made with ``threads > 0`` fixes the size of the process-wide worker pool."""

    def __new__(cls, ffmpeg_path: str = ..., threads: int = 0, verbose: bool = False) -> Self:
        """``ffmpeg_path`` defaults to ``"ffmpeg"`` on PATH; ``verbose`` prints progress lines
        to file descriptor 1."""

    def extract_frames(
        self, video_path: _FsPath, max_frames: int | None = None
    ) -> tuple[list[PyVideoFrame], int, int]:
        """Decode every frame of the video (``max_frames`` is accepted but not used);
        returns ``(frames, width, height)``. Raises ``RuntimeError`` on failure (also a
        ``ValueError``, ``OSError`` or ``MemoryError`` subclass, as its kind is)."""

    def extract_keyframes(
        self,
        frames: Sequence[PyVideoFrame],
        max_keyframes: int,
        use_simd: bool | None = None,
        block_size: int | None = None,
    ) -> list[int]:
        """Ascending positions (never 0) of the frames that differ most from the one before."""

    def save_keyframes(
        self,
        video_path: _FsPath,
        keyframe_indices: Sequence[int],
        output_dir: _FsPath,
        max_save: int | None = None,
    ) -> int:
        """Have ffmpeg write the given frame numbers as ``keyframe_001.jpg``, ... into
        ``output_dir`` (at most ``max_save``, default 50); returns how many were written."""

    def benchmark(
        self,
        video_path: _FsPath,
        max_keyframes: int,
        test_name: str,
        use_simd: bool | None = None,
        block_size: int | None = None,
    ) -> PyPerformanceResult:
        """Decode and select keyframes under the clock; writes no images."""

    def process_video(
        self,
        video_path: _FsPath,
        output_dir: _FsPath,
        max_keyframes: int,
        max_save: int | None = None,
        use_simd: bool | None = None,
        block_size: int | None = None,
    ) -> PyPerformanceResult:
        """Measured run, then keyframe selection and saving; returns the measured run's record."""

    def get_cpu_features(self) -> CpuFeatures:
        """The processor features detected at run time."""

    def get_thread_count(self) -> int:
        """The thread count asked for (or the pool's size when 0 was asked for)."""

    def get_configured_threads(self) -> int:
        """Same as ``get_thread_count()``."""

    def get_actual_thread_count(self) -> int:
        """Worker threads of the pool as seen from the calling thread."""

def extract_keyframes_from_video(
    video_path: _FsPath,
    output_dir: _FsPath,
    max_keyframes: int,
    max_save: int | None = None,
    ffmpeg_path: str | None = None,
    use_simd: bool | None = None,
    threads: int | None = None,
    verbose: bool | None = None,
    block_size: int | None = None,
) -> PyPerformanceResult:
    """One call from a video to keyframe images in ``output_dir`` plus a timing record."""

def get_system_info() -> SystemInfo:
    """Worker-thread count, AVX2 and SSE2 support, and the version."""

@final
class Keyframe:
    """A keyframe, scene picture or cut found by :func:`scan_video`. Read-only."""

    @property
    def frame_number(self) -> int:
        """0-based position of the frame in decoding order."""

    @property
    def time(self) -> float:
        """Seconds from the start of the stream, from the stream's own timestamps
        (carried on where they jump back; see ``ScanResult.warnings``)."""

    @property
    def score(self) -> float:
        """The frame's difference from the one before it, 0..255."""

    @property
    def path(self) -> str | None:
        """The image written for this frame, or None."""

@final
class Scene:
    """One scene found by :func:`scan_video`: a run of frames between two boundaries,
    with the keyframe that pictures it. Read-only."""

    @property
    def start_frame(self) -> int:
        """First frame of the scene."""

    @property
    def end_frame(self) -> int:
        """Last frame of the scene (inclusive)."""

    @property
    def start_time(self) -> float:
        """The first frame's time, in seconds."""

    @property
    def end_time(self) -> float:
        """The time of the frame after the scene; for the last scene, the end of the
        last decoded frame (``ScanResult.duration``), whatever the header claims."""

    @property
    def transition(self) -> Literal["start", "cut", "dissolve", "fade", "wipe"]:
        """How the scene began: ``"start"`` for the first scene."""

    @property
    def transition_frames(self) -> tuple[int, int]:
        """First and last frame of the transition that opened the scene (one frame for a
        cut; ``(0, 0)`` for the first scene)."""

    @property
    def blank(self) -> bool:
        """True when every frame of the scene outside the transitions around it is one
        flat colour (a hold of black or white longer than a fade through it, a plain
        card). Scene detection only: always False with ``threshold`` or
        ``max_keyframes``."""

    @property
    def keyframe(self) -> Keyframe | None:
        """The frame that pictures the scene: the best of :attr:`pictures`. None for a
        :attr:`blank` scene (it has nothing to show), unless it is the video's only
        scene."""

    @property
    def pictures(self) -> tuple[Keyframe, ...]:
        """Every frame picturing the scene, in frame order: ``(keyframe,)``, or with
        ``images_per_scene=n`` up to n frames spread over the scene's calm part;
        ``()`` when :attr:`keyframe` is None."""

@final
class ScanResult:
    """What :func:`scan_video` found in one video. Read-only."""

    file_pattern: ClassVar[str]
    """A regular expression that every name a scan may leave in its output directory
    fullmatches (its images, their temporary files, a killed scan's probe file)."""

    @property
    def keyframes(self) -> list[Keyframe]:
        """The keyframes, in frame order: one per scene in scene detection, the cuts
        with ``threshold``, the best frames with ``max_keyframes``."""

    @property
    def scenes(self) -> list[Scene]:
        """The scenes, partitioning the frames in order (with ``threshold``: the scenes
        between the cuts; with ``max_keyframes`` alone: empty)."""

    @property
    def scores(self) -> list[float]:
        """``scores[i]`` is frame ``first_frame + i``'s score against the frame before it
        (0.0 for the video's first frame; for a range, its first frame is scored against
        the frame before the range)."""

    @property
    def times(self) -> list[float]:
        """``times[i]`` is frame ``first_frame + i``'s time in seconds, from its own
        timestamp; never decreasing (a timestamp that jumps back is carried on, see
        ``warnings``)."""

    @property
    def first_frame(self) -> int:
        """The number of the first frame scanned: 0, or for a range (``start``,
        ``start_frame``) the whole video's number of its first frame, from its timestamp
        and the frame rate (an estimate on variable-frame-rate video)."""

    @property
    def width(self) -> int:
        """Width in pixels."""

    @property
    def height(self) -> int:
        """Height in pixels."""

    @property
    def frame_count(self) -> int:
        """Frames scanned: those of the range when one is given."""

    @property
    def fps(self) -> float:
        """The stream's average frame rate."""

    @property
    def duration(self) -> float:
        """Seconds from the stream's start to the end of the last scanned frame (its time
        plus one frame's duration), not the duration the header declares."""

    @property
    def threshold(self) -> float | None:
        """The cut threshold given, or None (scene detection, ``max_keyframes`` alone)."""

    @property
    def decode_time_ms(self) -> float:
        """Time spent decoding, in milliseconds."""

    @property
    def score_time_ms(self) -> float:
        """Time spent scoring, in milliseconds."""

    @property
    def write_time_ms(self) -> float:
        """Time spent writing images, in milliseconds."""

    @property
    def total_time_ms(self) -> float:
        """Time of the whole call, in milliseconds."""

    @property
    def images_written(self) -> int:
        """How many images were written."""

    @property
    def image_errors(self) -> list[str]:
        """One message for each image that could not be written."""

    @property
    def warnings(self) -> list[str]:
        """What in the file disagreed with its frames, one message each: a header
        duration more than a second off the decoded end (a file cut short, a header
        that lies), timestamps that jump back. Empty when nothing did."""

def scan_video(
    video_path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    max_keyframes: int | None = None,
    *,
    threshold: float | None = None,
    min_scene_len: int | None = 15,
    output_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
    image_format: str = "jpg",
    max_save: int = 50,
    downscale: int = 1,
    progress: Callable[[int, int], object] | None = None,
    max_pixels: int = 134217728,
    start: float | None = None,
    end: float | None = None,
    start_frame: int | None = None,
    end_frame: int | None = None,
    sensitivity: float = 0.5,
    min_scene_seconds: float | None = None,
    image_quality: int | None = 92,
    image_width: int | None = None,
    image_height: int | None = None,
    images_per_scene: int = 1,
    image_name: str | None = "keyframe_{frame:06d}",
) -> ScanResult:
    """Find the scenes, keyframes or cuts of a video in one pass, in process, with the
    interpreter lock released. With neither ``max_keyframes`` nor ``threshold`` it
    detects scenes (cuts, dissolves, fades, wipes) and pictures each one; see
    ``help(velmar.scan_video)``. Raises ``RuntimeError("Scan failed: ...")``, also for
    frames of more than ``max_pixels`` pixels (default 2**27), which are refused before
    any frame is allocated; ``max_pixels`` must be at least 1. The RuntimeError is also
    of the built-in type of its kind: ``FileNotFoundError`` for a missing file,
    ``PermissionError``, ``ValueError`` for a file that is not a video FFmpeg can open, a
    corrupt one or one without a video stream, ``OSError`` for another system error.

    ``start`` and ``end`` (seconds; or ``start_frame`` and ``end_frame``, frame numbers)
    scan only the frames in [start, end): decoding seeks to the key frame at or before
    ``start`` and stops at ``end``. Frame numbers, times and image names stay the whole
    video's; ``ScanResult.first_frame`` is the range's first frame, numbered
    ``round(time * fps)`` from its timestamp (estimated on variable-frame-rate video),
    and ``scores``/``times`` start with it. The first scene starts there ("start").
    ``ValueError`` naming the argument for a negative or non-finite bound, a start not
    before the end, a start at or past the video's end, a range holding no frame.

    ``sensitivity`` (0 to 1; ValueError outside) tunes scene detection: 0.5 is the
    default detection exactly; higher lowers the cut floors, the contrast a cut needs
    over its neighbours and the change a gradual transition must make, so it finds
    more boundaries; a boundary found at one sensitivity is found at every higher one.

    ``min_scene_seconds`` gives the minimum scene length in seconds instead of
    ``min_scene_len`` (frames): ``round(seconds * fps)`` frames, at least 1.

    Images: ``image_format`` ``"jpg"``, ``"png"`` or ``"webp"`` (ValueError where FFmpeg
    lacks libwebp); ``image_quality`` 1..100 for JPEG and WebP; ``image_width`` and/or
    ``image_height`` (1..16384) scale the upright picture, one alone keeping the aspect
    ratio. ``images_per_scene=n`` (1 to 16; scene detection only) writes n pictures a scene,
    spread over its calm frames, listed in :attr:`Scene.pictures`; ``max_save`` counts
    every image. ``image_name`` is the name template (extension added) with
    ``{video}``, ``{scene}``, ``{frame}`` and ``{time}`` (``HH-MM-SS.mmm``); scene and
    frame take a width spec such as ``{frame:06d}``. It must hold ``{frame}`` or
    ``{time}`` (``{scene}`` with one picture a scene) and no ``/``; ValueError naming the
    argument otherwise. :attr:`ScanResult.file_pattern` matches the default names only."""

def split_video(
    video_path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    scenes: Sequence[Scene] | Sequence[tuple[int, int]],
    output_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    copy: bool = False,
    name_template: str | None = None,
) -> list[str]:
    """Write one file per scene of a video into ``output_dir`` (made when missing) and
    return their paths, in scene order. ``scenes`` is :attr:`ScanResult.scenes` or
    ``(start_frame, end_frame)`` pairs, the end included, in ``scan_video``'s frame
    numbers; ``ValueError`` naming the first bad scene, before anything is written, for
    a list that is empty, unsorted, overlapping, or beyond the video. Gaps are allowed.

    By default each part holds exactly its scene's frames: stream-copied bit for bit
    when it starts on a key frame that needs nothing before it and ends right before
    another (or at the end), else re-encoded whole in the source's codec (PSNR of 45 dB
    or more; another codec, with a ``UserWarning``, where this FFmpeg cannot encode
    it). ``copy=True`` copies only: each part starts at the key frame at or before its
    scene, and every moved start gives a ``UserWarning`` with the attributes ``scene``
    (from 1), ``requested_start``, ``actual_start`` and ``path``. Audio and the
    subtitles the container takes go with each part; its times start at 0. The parts
    are in the input's container where it holds their streams, else Matroska.

    ``name_template``: ``{video}``, ``{scene}`` (from 1), ``{frame}`` and ``{time}`` of
    the scene's start, extension added; default ``"{video}-scene-{scene:03d}"``. Each
    part goes through a temporary file; one that fails leaves none, the others are
    written, and then ``RuntimeError("Split failed: ...")`` (also of the built-in type
    of its kind) names the failed parts."""
