# Covers: src/video/libav/image_writer.cpp, scan_images.cpp, scene_mode.cpp (ChoosePictures).
"""The pictures scan_video writes on the caller's terms: format, quality,
size, several a scene, and their names; the defaults stay as they were."""

import subprocess

import pytest

from velmar.video import scan_video

MAGIC = {"jpg": (0, b"\xff\xd8\xff"), "png": (0, b"\x89PNG"), "webp": (8, b"WEBP")}


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
                   check=True)


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """Three 2 s shots of 96x64 at 25 fps: three scenes of 50 frames."""
    path = tmp_path_factory.mktemp("images") / "three.mp4"
    inputs = []
    for source in ("testsrc2", "smptebars", "mandelbrot"):
        inputs += ["-f", "lavfi", "-t", "2", "-i", f"{source}=s=96x64:r=25"]
    ffmpeg(*inputs, "-filter_complex", "[0][1][2]concat=n=3,format=yuv420p", "-c:v", "libx264",
           "-preset", "ultrafast", "-qp", "10", path)
    return path


def size_of(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of",
                          "csv=p=0", str(path)], check=True, capture_output=True, text=True)
    return tuple(int(x) for x in out.stdout.strip().split(","))


def paths(result):
    return [p.path for s in result.scenes for p in s.pictures]


@pytest.mark.parametrize("image_format", ["jpg", "png", "webp"])
def test_format_is_the_files_format(clip, tmp_path, image_format):
    r = scan_video(clip, output_dir=tmp_path, image_format=image_format)
    offset, magic = MAGIC[image_format]
    assert len(r.keyframes) == 3
    for path in paths(r):
        assert path.endswith("." + image_format)
        with open(path, "rb") as f:
            assert f.read(offset + len(magic))[offset:] == magic


@pytest.mark.parametrize("image_format", ["jpg", "webp"])
def test_quality_moves_the_file_size(clip, tmp_path, image_format):
    sizes = []
    for q in (5, 95):
        r = scan_video(clip, output_dir=tmp_path / str(q), image_format=image_format,
                       image_quality=q)
        sizes.append(sum(len(open(p, "rb").read()) for p in paths(r)))
    assert sizes[0] < sizes[1] / 2


@pytest.mark.parametrize("image_format", ["jpg", "png", "webp"])
@pytest.mark.parametrize("width, height, expected", [
    (48, None, (48, 32)), (None, 16, (24, 16)), (40, 40, (40, 40)), (97, None, (97, 65))])
def test_size_keeps_the_aspect_ratio_unless_both_are_given(clip, tmp_path, image_format, width,
                                                          height, expected):
    r = scan_video(clip, output_dir=tmp_path, image_format=image_format, image_width=width,
                   image_height=height)
    assert {size_of(p) for p in paths(r)} == {expected}


def test_defaults_are_the_names_and_bytes_of_before(clip, tmp_path):
    default = scan_video(clip, output_dir=tmp_path / "a")
    explicit = scan_video(clip, output_dir=tmp_path / "b", image_format="jpg", image_quality=92,
                          images_per_scene=1, image_name="keyframe_{frame:06d}")
    names = [p.rsplit("/", 1)[1] for p in paths(default)]
    assert names == [f"keyframe_{k.frame_number:06d}.jpg" for k in default.keyframes]
    assert [s.pictures for s in default.scenes] == [(k,) for k in default.keyframes]
    assert all(s.pictures[0] is s.keyframe for s in default.scenes)
    for a, b in zip(paths(default), paths(explicit)):
        assert open(a, "rb").read() == open(b, "rb").read()


@pytest.mark.parametrize("n", [2, 4])
def test_images_per_scene_spreads_n_pictures_in_order(clip, tmp_path, n):
    single = scan_video(clip)
    r = scan_video(clip, output_dir=tmp_path, images_per_scene=n)
    assert [(s.start_frame, s.end_frame) for s in r.scenes] == \
        [(s.start_frame, s.end_frame) for s in single.scenes]
    assert len(r.keyframes) == len(r.scenes) == 3
    for scene in r.scenes:
        frames = [p.frame_number for p in scene.pictures]
        assert len(frames) == n and frames == sorted(set(frames))
        assert scene.keyframe in scene.pictures
        # spread: one in each of n equal parts of the frames after the settling ones
        calm = scene.start_frame + 3
        span = scene.end_frame - calm + 1
        assert [(f - calm) * n // span for f in frames] == list(range(n))
    assert len(set(paths(r))) == 3 * n and r.images_written == 3 * n


def test_name_template_fields(clip, tmp_path):
    r = scan_video(clip, output_dir=tmp_path, image_format="png",
                   image_name="{video}-{scene:03d}-{frame}-{time}", images_per_scene=2)
    for i, scene in enumerate(r.scenes, 1):
        for p in scene.pictures:
            ms = round(p.time * 1000)
            time = f"00-00-{ms // 1000:02d}.{ms % 1000:03d}"
            assert p.path == str(tmp_path / f"three-{i:03d}-{p.frame_number}-{time}.png")


def test_scene_alone_names_a_picture_a_scene(clip, tmp_path):
    r = scan_video(clip, output_dir=tmp_path, image_name="{{{scene:2}}}")
    assert [p.rsplit("/", 1)[1] for p in paths(r)] == ["{ 1}.jpg", "{ 2}.jpg", "{ 3}.jpg"]


@pytest.mark.parametrize("kwargs, error, match", [
    ({"image_format": "gif"}, ValueError, "image_format"),
    ({"image_quality": 0}, ValueError, "image_quality"),
    ({"image_quality": 101}, ValueError, "image_quality"),
    ({"image_quality": "high"}, TypeError, "image_quality"),
    ({"image_quality": 50, "image_format": "png"}, ValueError, "image_quality"),
    ({"image_width": 0}, ValueError, "image_width"),
    ({"image_height": 1 << 70}, ValueError, "image_height"),
    ({"images_per_scene": 0}, ValueError, "images_per_scene"),
    ({"images_per_scene": 17}, ValueError, "images_per_scene.*16"),
    ({"images_per_scene": 2, "threshold": 30.0}, ValueError, "images_per_scene"),
    ({"image_name": ""}, ValueError, "image_name.*empty"),
    ({"image_name": "a/{frame}"}, ValueError, "image_name.*separator"),
    ({"image_name": "{shot}"}, ValueError, "image_name.*unknown field"),
    ({"image_name": "{frame:>6}"}, ValueError, "image_name.*spec"),
    ({"image_name": "{time:03d}"}, ValueError, "image_name.*no format spec"),
    ({"image_name": "{frame"}, ValueError, "image_name.*never closed"),
    ({"image_name": "still"}, ValueError, "image_name.*names of their own"),
    ({"image_name": "{scene}", "images_per_scene": 2}, ValueError, "image_name.*{frame} or"),
    ({"image_name": 7}, TypeError, "image_name"),
])
def test_bad_image_options_name_the_argument(clip, tmp_path, kwargs, error, match):
    with pytest.raises(error, match=match):
        scan_video(clip, output_dir=tmp_path, **kwargs)
    assert not list(tmp_path.iterdir())
