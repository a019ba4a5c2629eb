#!/usr/bin/env python3
"""Figures of one kadrix result against the stars kadrix-demo placed.

  raw-night-figures.py --stars NAME_stars.csv --offsets NAME_offsets.csv
                       --sources INSPECT.txt --result PREFIX --raw-size WxH
                       [--origin X,Y]

--sources is what `kadrix-inspect PREFIX` printed; PREFIX + SR.BMP and
PREFIX + SS.BMP are the result pair. A result as large as the raw frames is
on the star table's grid (the mean of the drifting frames). A smaller one
was aligned on frame 1 and cropped: a star then lies at its table position
plus frame 1's offset less the crop origin. --origin gives that origin;
without it, every whole-pixel origin the size allows is tried and the one
that matches most stars is used (and printed).

Prints one line: placed stars on the image, stars found (a source within
2 px), false sources (no star within 2 px), the median FWHM of the isolated,
unsaturated stars found (second moments over 4 px around the source, the
sky the median of a ring 6 to 9 px out) and how many stars gave it.
"""
import argparse
import csv
import struct
import sys

MATCH = 2.0


def read_bmp(path):
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width + 3) // 4 * 4
    rows = abs(height)
    image = []
    for y in range(rows):  # y = 0 the top row
        stored = rows - 1 - y if height > 0 else y
        start = offset + stored * stride
        image.append(list(data[start:start + width]))
    return width, rows, image


def decoded_mean(prefix):
    width, height, sr = read_bmp(prefix + "SR.BMP")
    _, _, ss = read_bmp(prefix + "SS.BMP")
    return width, height, [[sr[y][x] + (ss[y][x] >> 1) / 128.0 for x in range(width)] for y in range(height)]


def read_sources(path):
    sources = []
    header = False
    for line in open(path, newline=""):
        line = line.rstrip("\r\n")
        # The catalogue's first five columns keep their places; more follow.
        if line.startswith("x,y,pixels,peak,sum"):
            header = True
            continue
        if header and line:
            x, y, _pixels, peak, _sum = line.split(",")[:5]
            sources.append((float(x), float(y), float(peak)))
    return sources


def nearest(points, x, y):
    best = None
    for p in points:
        d = ((p[0] - x) ** 2 + (p[1] - y) ** 2) ** 0.5
        if best is None or d < best:
            best = d
    return best if best is not None else float("inf")


def fwhm(image, width, height, cx, cy):
    ix, iy = int(round(cx)), int(round(cy))
    if ix < 10 or iy < 10 or ix >= width - 10 or iy >= height - 10:
        return None
    ring = []
    for y in range(iy - 9, iy + 10):
        for x in range(ix - 9, ix + 10):
            r2 = (x - cx) ** 2 + (y - cy) ** 2
            if 36.0 <= r2 <= 81.0:
                ring.append(image[y][x])
    ring.sort()
    sky = ring[len(ring) // 2]
    total = moment = 0.0
    for y in range(iy - 4, iy + 5):
        for x in range(ix - 4, ix + 5):
            r2 = (x - cx) ** 2 + (y - cy) ** 2
            if r2 <= 16.0:
                w = image[y][x] - sky
                total += w
                moment += w * r2
    if total <= 0.0 or moment <= 0.0:
        return None
    sigma = (moment / (2.0 * total)) ** 0.5
    return 2.3548200450309493 * sigma


def figures(stars, sources, width, height, tx, ty):
    placed = [(x + tx, y + ty, peak) for x, y, peak in stars]
    inside = [p for p in placed if 0.0 <= p[0] <= width - 1 and 0.0 <= p[1] <= height - 1]
    found = [p for p in inside if nearest(sources, p[0], p[1]) <= MATCH]
    false = [s for s in sources if nearest(placed, s[0], s[1]) > MATCH]
    return inside, found, false


def main():
    parser = argparse.ArgumentParser()
    for option in ("--stars", "--offsets", "--sources", "--result", "--raw-size"):
        parser.add_argument(option, required=True)
    parser.add_argument("--origin")
    args = parser.parse_args()

    stars = [(float(r["x"]), float(r["y"]), float(r["peak"])) for r in csv.DictReader(open(args.stars))]
    first = next(csv.DictReader(open(args.offsets)))
    dx1, dy1 = float(first["dx"]), float(first["dy"])
    raw_w, raw_h = (int(v) for v in args.raw_size.split("x"))
    sources = read_sources(args.sources)
    width, height, image = decoded_mean(args.result)

    if width == raw_w and height == raw_h:
        origins, grid = [(0, 0)], "mean"
        first_offset = (0.0, 0.0)
    else:
        grid = "frame 1"
        first_offset = (dx1, dy1)
        if args.origin:
            origins = [tuple(int(v) for v in args.origin.split(","))]
        else:
            origins = [(ox, oy) for ox in range(raw_w - width + 1) for oy in range(raw_h - height + 1)]
    best = None
    for ox, oy in origins:
        tx, ty = first_offset[0] - ox, first_offset[1] - oy
        result = figures(stars, sources, width, height, tx, ty)
        if best is None or len(result[1]) > len(best[1][1]):
            best = ((ox, oy, tx, ty), result)
    (ox, oy, tx, ty), (inside, found, false) = best

    widths = []
    for x, y, peak in found:
        # Only the star itself within 8 px.
        isolated = sum(1 for o in stars if ((x - o[0] - tx) ** 2 + (y - o[1] - ty) ** 2) ** 0.5 <= 8.0) == 1
        if isolated and 30.0 <= peak <= 200.0:
            w = fwhm(image, width, height, x, y)
            if w is not None:
                widths.append(w)
    widths.sort()
    median = widths[len(widths) // 2] if widths else float("nan")
    print("%dx%d grid=%s origin=%d,%d stars=%d found=%d false=%d fwhm=%.2f n=%d"
          % (width, height, grid, ox, oy, len(inside), len(found), len(false), median, len(widths)))


if __name__ == "__main__":
    sys.exit(main())
