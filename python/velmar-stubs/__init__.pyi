"""Keyframe extraction through ffmpeg, and an in-memory metadata index of agent memories.

``velmar`` is one native extension module; ``velmar.video`` and
``velmar.memory`` are its two submodules. Every class and function is also
reachable from the top level.
"""

from . import memory as memory
from . import video as video
from .memory import PyMetadataIndex as PyMetadataIndex
from .video import PyPerformanceResult as PyPerformanceResult
from .video import PyVideoFrame as PyVideoFrame
from .video import VideoKeyframeExtractor as VideoKeyframeExtractor
from .video import extract_keyframes_from_video as extract_keyframes_from_video
from .video import get_system_info as get_system_info
from .video import Keyframe as Keyframe
from .video import ScanResult as ScanResult
from .video import Scene as Scene
from .video import scan_video as scan_video
from .video import split_video as split_video

__all__ = [
    "PyMetadataIndex",
    "PyVideoFrame",
    "PyPerformanceResult",
    "VideoKeyframeExtractor",
    "extract_keyframes_from_video",
    "get_system_info",
    "video",
    "memory",
    "scan_video",
    "ScanResult",
    "Keyframe",
    "Scene",
    "split_video",
]
