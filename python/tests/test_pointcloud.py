"""Tests of the Python module `pointcloud`, run by CTest with the interpreter the module is built
for. POINTCLOUD_VIEW names the viewer, whose picture render() must give exactly."""

import os
import struct
import subprocess
import tempfile
import threading
import unittest
import zlib

import numpy as np

import pointcloud


def read_png(path):
    """The pixels of an 8-bit RGB PNG without interlacing, such as the viewer writes, as a
    (height, width, 3) uint8 array."""
    with open(path, "rb") as file:
        data = file.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, compressed = 8, b""
    while at < len(data):
        (length,) = struct.unpack(">I", data[at : at + 4])
        kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, colour, interlace) == (8, 2, 0)
        elif kind == b"IDAT":
            compressed += body
        at += 12 + length
    rows = np.frombuffer(zlib.decompress(compressed), np.uint8).reshape(height, 1 + 3 * width)
    pixels = np.zeros((height, 3 * width), np.uint8)
    above = np.zeros(3 * width, np.uint8)
    for y, (kind, row) in enumerate(zip(rows[:, 0], rows[:, 1:])):
        if kind == 0:
            line = row.copy()
        elif kind == 1:
            line = np.cumsum(row.reshape(width, 3), axis=0, dtype=np.uint8).reshape(-1)
        elif kind == 2:
            line = row + above
        else:
            # Average and Paeth depend on the byte to the left as it comes out: one at a time.
            line = [0] * (3 * width)
            for x in range(3 * width):
                left = line[x - 3] if x >= 3 else 0
                up, up_left = int(above[x]), int(above[x - 3]) if x >= 3 else 0
                if kind == 3:
                    guess = (left + up) // 2
                else:
                    p = left + up - up_left
                    distances = (abs(p - left), abs(p - up), abs(p - up_left))
                    guess = (left, up, up_left)[distances.index(min(distances))]
                line[x] = (int(row[x]) + guess) & 0xFF
            line = np.array(line, np.uint8)
        pixels[y] = above = line
    return pixels.reshape(height, width, 3)


def lattice():
    """The demo's lattice as the demo builds it: 100 points a side, 1200 units apart, from 60000
    down to -58800, x slowest and z fastest, in blue."""
    steps = 1200 * np.arange(50, -50, -1, dtype=np.float32)
    xyz = np.stack(np.meshgrid(steps, steps, steps, indexing="ij"), axis=-1).reshape(-1, 3)
    colors = np.zeros(xyz.shape, np.uint8)
    colors[:, 2] = 255
    return xyz, colors


class Read(unittest.TestCase):
    def test_gives_points_and_colours_or_none(self):
        with tempfile.TemporaryDirectory() as folder:
            ply = os.path.join(folder, "two.ply")
            with open(ply, "w") as file:
                file.write(
                    "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\n"
                    "property float y\nproperty float z\nproperty uchar red\n"
                    "property uchar green\nproperty uchar blue\nend_header\n"
                    "1.5 -2 3 255 128 0\n665000.25 5648000.5 0.125 1 2 3\n"
                )
            text = os.path.join(folder, "two.xyz")
            with open(text, "w") as file:
                file.write("1 2 3\n4 5 6\n")

            xyz, colors = pointcloud.read(ply)
            self.assertEqual((xyz.dtype, xyz.shape), (np.float32, (2, 3)))
            np.testing.assert_array_equal(
                xyz, np.array([[1.5, -2, 3], [665000.25, 5648000.5, 0.125]], np.float32)
            )
            self.assertEqual(colors.dtype, np.uint8)
            np.testing.assert_array_equal(colors, [[255, 128, 0], [1, 2, 3]])

            xyz, colors = pointcloud.read(text)
            np.testing.assert_array_equal(xyz, [[1, 2, 3], [4, 5, 6]])
            self.assertIsNone(colors)

    def test_says_why_a_file_cannot_be_read(self):
        with tempfile.TemporaryDirectory() as folder:
            endless = os.path.join(folder, "endless.ply")
            with open(endless, "w") as file:
                file.write("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n")
            for path in (endless, os.path.join(folder, "missing.ply")):
                with self.assertRaisesRegex(ValueError, "^" + path + ": .+"):
                    pointcloud.read(path)


class Render(unittest.TestCase):
    def test_draws_the_viewers_frame_of_the_lattice_taken_as_it_is(self):
        xyz, colors = lattice()
        with tempfile.TemporaryDirectory() as folder:
            picture = os.path.join(folder, "cube.png")
            subprocess.run(
                [os.environ["POINTCLOUD_VIEW"], "--scene", "cube", "--no-fit",
                 "--angles=-20,37,0", "--output", picture],
                check=True, stdout=subprocess.DEVNULL,
            )
            expected = read_png(picture)
        frame = pointcloud.render(xyz, colors, angles=(-20, 37, 0), fit=False)
        self.assertEqual((frame.dtype, frame.shape), (np.uint8, (800, 1024, 3)))
        self.assertTrue(np.array_equal(frame, expected))
        # The same points in a column-major array, and every other row of a larger one.
        self.assertTrue(
            np.array_equal(
                pointcloud.render(np.asfortranarray(xyz), colors, angles=(-20, 37, 0), fit=False),
                frame,
            )
        )
        spaced = np.zeros((2 * len(xyz), 4), np.float32)
        spaced[::2, :3] = xyz
        self.assertTrue(
            np.array_equal(
                pointcloud.render(spaced[::2, :3], colors, angles=(-20, 37, 0), fit=False), frame
            )
        )

    def test_fits_and_colours_by_height_unless_told(self):
        xyz = np.array([[0, 0, 0], [0, 1000, 0]], np.float32)
        frame = pointcloud.render(xyz)
        lit = frame[frame.any(axis=2)]
        # The lowest point blue, the highest red, both on screen once fitted.
        self.assertEqual(sorted(map(tuple, lit)), [(0, 0, 255), (255, 0, 0)])
        self.assertFalse(pointcloud.render(np.zeros((0, 3), np.float32)).any())

    def test_draws_from_threads_one_at_a_time(self):
        xyz, colors = (part[::4] for part in lattice())
        angles = [(-20, 10 * i, 0) for i in range(4)]
        alone = [pointcloud.render(xyz, colors, angles=a, fit=False) for a in angles]
        together = [None] * len(angles)

        def draw(i):
            together[i] = pointcloud.render(xyz, colors, angles=angles[i], fit=False)

        threads = [threading.Thread(target=draw, args=(i,)) for i in range(len(angles))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for frame, expected in zip(together, alone):
            self.assertTrue(np.array_equal(frame, expected))

    def test_takes_the_viewers_picture_options(self):
        xyz = np.random.default_rng(1).random((2000, 3), dtype=np.float32)
        frame = pointcloud.render(xyz, size=(320, 200), background="white", point_size=2,
                                  edl=False)
        self.assertEqual(frame.shape, (200, 320, 3))
        self.assertTrue((frame[0, 0] == 255).all())
        self.assertTrue((frame != 255).any())

    def test_refuses_what_it_cannot_draw(self):
        xyz = np.zeros((4, 3), np.float32)
        not_finite = xyz.copy()
        not_finite[2, 1] = np.nan
        for call, error in [
            (lambda: pointcloud.render(xyz.tolist()), TypeError),
            (lambda: pointcloud.render(xyz.astype(np.float64)), TypeError),
            (lambda: pointcloud.render(xyz.astype(">f4")), TypeError),
            (lambda: pointcloud.render(xyz[:, :2]), ValueError),
            (lambda: pointcloud.render(xyz.reshape(-1)), ValueError),
            (lambda: pointcloud.render(not_finite), ValueError),
            (lambda: pointcloud.render(xyz, np.zeros((4, 3), np.float32)), TypeError),
            (lambda: pointcloud.render(xyz, np.zeros((3, 3), np.uint8)), ValueError),
            (lambda: pointcloud.render(xyz, angles=(1, 2)), ValueError),
            (lambda: pointcloud.render(xyz, angles=(1, np.inf, 2)), ValueError),
            (lambda: pointcloud.render(xyz, angles="abc"), TypeError),
            (lambda: pointcloud.render(xyz, fit=1), TypeError),
            (lambda: pointcloud.render(xyz, up="w"), ValueError),
            (lambda: pointcloud.render(xyz, zoom=0), ValueError),
            (lambda: pointcloud.render(xyz, size=(0, 10)), ValueError),
            (lambda: pointcloud.render(xyz, point_size=17), ValueError),
            (lambda: pointcloud.render(xyz, background="#12"), ValueError),
            (lambda: pointcloud.render(xyz, edl="sometimes"), ValueError),
            (lambda: pointcloud.render(xyz, depth=2), TypeError),
        ]:
            with self.assertRaises(error):
                call()


if __name__ == "__main__":
    unittest.main()
