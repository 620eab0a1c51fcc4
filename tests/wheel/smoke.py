# Covers: the repaired wheel from scripts/wheel, with the libraries it bundles (one call into each submodule).
"""One video call and one memory call against an installed wheel.

Run by scripts/test-wheel inside a mount namespace where the system's copies
of the libraries the module links (and ICU, FFmpeg's and the JPEG libraries)
are hidden, so it passes only if the wheel carries what it needs.

    python smoke.py [VIDEO]
"""

import ctypes
import os
import sys
import tempfile

HIDDEN = ["libtbb.so.12", "libsimdjson.so.14", "libicuuc.so.72", "libicudata.so.72",
          "libavformat.so.59", "libavcodec.so.59", "libswscale.so.6", "libturbojpeg.so.0"]


def main():
    # The hiding itself must hold, or this check proves nothing.
    for name in HIDDEN:
        try:
            ctypes.CDLL(name)
        except OSError:
            continue
        sys.exit(f"{name} is still loadable: the system libraries are not hidden")

    import velmar
    from velmar.memory import PyMetadataIndex
    from velmar.video import PyVideoFrame, VideoKeyframeExtractor

    print("module:", velmar.__spec__.origin)
    print("system info:", velmar.get_system_info())

    # Video: frames scored on the worker pool with the vector kernels.
    size = 64 * 48
    frames = [PyVideoFrame(i, 64, 48, bytes([(i // 5) * 40 % 256]) * size) for i in range(20)]
    extractor = VideoKeyframeExtractor(threads=2)
    keys = extractor.extract_keyframes(frames, 3)
    assert keys == [5, 10, 15], keys
    assert frames[5].calculate_difference_simd(frames[4]) == 40.0
    print("keyframes of generated frames:", keys)
    if len(sys.argv) > 1:
        # The in-process scanner: FFmpeg's libraries and libjpeg-turbo from the wheel.
        with tempfile.TemporaryDirectory() as out:
            result = velmar.scan_video(sys.argv[1], 1, output_dir=out)
            assert [k.frame_number for k in result.keyframes] == [25], result.keyframes
            assert all(os.path.getsize(k.path) > 0 for k in result.keyframes)
            print("scan_video:", [k.frame_number for k in result.keyframes])

    # Memory: non-ASCII lowercasing runs on the built-in tables, not ICU.
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.json")
        index = PyMetadataIndex(path)
        added = index.batch_add([
            {"memory_id": "m1", "user_id": "u", "memory_type": "note", "subjects": ["ΟΔΟΣ"]},
            {"memory_id": "m2", "user_id": "u", "memory_type": "task", "subjects": ["İstanbul"]},
        ])
        assert added == 2
        assert index.search_strict({"subjects": ["ΟΔΟΣ"]}) == ["m1"]
        assert index.search_flexible({"memory_types": ["task"], "subjects": ["i̇stanbul"]}) == ["m2"]
        assert index.save()
        assert PyMetadataIndex(path).stats()["total"] == 2
    print("memory index: ok")


if __name__ == "__main__":
    main()
