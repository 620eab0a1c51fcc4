# Covers: src/python/lib.cpp (module, submodules, __all__, registration).
import shutil
import subprocess
import sys

import pytest

import velmar

TOP_ALL = [
    "PyMetadataIndex", "PyVideoFrame", "PyPerformanceResult", "VideoKeyframeExtractor",
    "extract_keyframes_from_video", "get_system_info", "video", "memory",
    "scan_video", "ScanResult", "Keyframe", "Scene", "split_video",
]
VIDEO_ALL = [
    "PyVideoFrame", "PyPerformanceResult", "VideoKeyframeExtractor",
    "extract_keyframes_from_video", "get_system_info",
    "scan_video", "ScanResult", "Keyframe", "Scene", "split_video",
]


def test_submodules_are_registered_and_identical():
    assert sys.modules["velmar.video"] is velmar.video
    assert sys.modules["velmar.memory"] is velmar.memory
    assert velmar.video.__name__ == "video"
    assert velmar.memory.__name__ == "memory"
    import velmar.video as v
    from velmar.video import PyVideoFrame

    assert v is velmar.video
    assert PyVideoFrame is velmar.PyVideoFrame


def test_all_lists_in_fixed_order():
    assert velmar.__all__ == TOP_ALL
    assert velmar.video.__all__ == VIDEO_ALL
    assert velmar.memory.__all__ == ["PyMetadataIndex"]
    assert "PyVideoFrame" in velmar.__all__ and "video" in velmar.__all__
    star = {}
    exec("from velmar import *", star)
    assert {"scan_video", "ScanResult", "Keyframe"} <= star.keys()


def test_objects_shared_between_modules():
    for name in VIDEO_ALL:
        if hasattr(velmar, name):
            assert getattr(velmar.video, name) is getattr(velmar, name)
    assert not hasattr(velmar.memory, "PyVideoFrame")


def test_module_names_of_classes_and_functions():
    assert velmar.PyVideoFrame.__module__ == "velmar.video"
    if hasattr(velmar, "PyMetadataIndex"):
        assert velmar.PyMetadataIndex.__module__ == "velmar.memory"
    if hasattr(velmar, "VideoKeyframeExtractor"):
        assert velmar.VideoKeyframeExtractor.__module__ == "velmar.video"
    if hasattr(velmar, "extract_keyframes_from_video"):
        assert velmar.extract_keyframes_from_video.__module__ == "velmar"


def test_package_shape():
    assert velmar.__path__ == []
    assert not hasattr(velmar, "__version__")
    assert not hasattr(velmar, "PanicException")
    assert velmar.__doc__ == ""


def test_reimport_returns_same_module_with_changes_kept(fresh_python):
    fresh_python(
        """
        import sys, velmar
        first = velmar
        velmar.marker = 42
        del sys.modules["velmar"]
        import velmar as again
        assert again is first
        assert again.marker == 42
        """
    )


def test_import_survives_sys_modules_that_is_not_a_dict(fresh_python):
    # The dotted registration is skipped, but the import itself succeeds and
    # the submodules stay reachable as attributes.
    fresh_python(
        """
        import sys, importlib.util, _imp
        spec = importlib.util.find_spec("velmar")
        saved = sys.modules
        sys.modules = []
        try:
            module = _imp.create_dynamic(spec)
        finally:
            sys.modules = saved
        assert "velmar.video" not in sys.modules
        assert module.video.__name__ == "video" and module.memory.__name__ == "memory"
        """
    )


def test_second_interpreter_is_refused(fresh_python):
    proc = fresh_python(
        """
        import velmar
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("skip")
            raise SystemExit(0)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import velmar")
        except Exception as exc:
            print(type(exc).__name__, exc)
        """
    )
    assert "skip" in proc.stdout or "ImportError" in proc.stdout


def test_exports_only_the_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not installed")
    out = subprocess.run([nm, "-D", "--defined-only", velmar.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_velmar"]
