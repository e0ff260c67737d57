#!/usr/bin/env python3
"""Draws the program icon (32x32, the 16 VGA colours): an envelope with a
quill and a red "new mail" dot, and the version window's picture (the same
drawing at twice the size). Writes XPM, which Qt reads without plug-ins, and
PNGs of the icon in the desktop icon theme's usual sizes (needs ImageMagick's
convert): whole multiples keep the pixels sharp, the others are filtered.

    python3 resources/make-icons.py
"""
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "icons")

# Standard 16-colour palette, one XPM character each; "." is transparent.
PALETTE = {
    ".": "None",
    "k": "#000000", "m": "#800000", "g": "#008000", "o": "#808000",
    "n": "#000080", "p": "#800080", "t": "#008080", "s": "#C0C0C0",
    "d": "#808080", "r": "#FF0000", "l": "#00FF00", "y": "#FFFF00",
    "b": "#0000FF", "f": "#FF00FF", "a": "#00FFFF", "w": "#FFFFFF",
}

SIZE = 32
THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def line(grid, x0, y0, x1, y1, c):
    """Bresenham line."""
    dx, dy = abs(x1 - x0), -abs(y1 - y0)
    sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
    err = dx + dy
    while True:
        if 0 <= x0 < SIZE and 0 <= y0 < SIZE:
            grid[y0][x0] = c
        if x0 == x1 and y0 == y1:
            break
        e2 = 2 * err
        if e2 >= dy:
            err += dy
            x0 += sx
        if e2 <= dx:
            err += dx
            y0 += sy


def draw():
    g = [["." for _ in range(SIZE)] for _ in range(SIZE)]
    # Envelope body with a navy border and a light grey flap.
    left, top, right, bottom = 1, 11, 26, 28
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            g[y][x] = "w"
    for y in range(top + 1, top + 9):
        half = (y - top)
        for x in range(left + half, right - half + 1):
            g[y][x] = "s"
    line(g, left, top, left + 12, top + 9, "n")
    line(g, right, top, right - 12, top + 9, "n")
    line(g, left, bottom, left + 9, top + 9, "d")
    line(g, right, bottom, right - 9, top + 9, "d")
    for x in range(left, right + 1):
        g[top][x] = "n"
        g[bottom][x] = "n"
    for y in range(top, bottom + 1):
        g[y][left] = "n"
        g[y][right] = "n"
    # The quill: a solid teal vane with an aqua rim around a white shaft,
    # from the black nib at the envelope's lower middle up to the corner.
    nx, ny, tx, ty = 12.0, 27.0, 30.0, 1.0
    length = ((tx - nx) ** 2 + (ty - ny) ** 2) ** 0.5
    ux, uy = (tx - nx) / length, (ty - ny) / length
    for y in range(SIZE):
        for x in range(SIZE):
            rx, ry = x + 0.5 - nx, y + 0.5 - ny
            t = (rx * ux + ry * uy) / length
            dist = abs(rx * uy - ry * ux)
            if not 0.3 <= t <= 1.0:
                continue
            half = 4.2 * min(1.0, (t - 0.3) / 0.25, (1.0 - t) / 0.3)
            if dist <= half - 1.0:
                g[y][x] = "t"
            elif dist <= half:
                g[y][x] = "a"
    line(g, 13, 25, 30, 1, "w")
    line(g, 13, 25, 17, 19, "d")  # the bare quill over the white paper
    line(g, 11, 28, 13, 25, "k")
    # The red dot of new mail.
    for y in range(2, 8):
        for x in range(2, 8):
            if (x - 4.5) ** 2 + (y - 4.5) ** 2 <= 7.5:
                g[y][x] = "r"
    g[3][4] = "w"
    return g


def write_xpm(path, name, grid, scale):
    rows = ["".join(ch * scale for ch in row) for row in grid for _ in range(scale)]
    used = sorted({ch for row in rows for ch in row})
    with open(path, "w", encoding="ascii") as f:
        f.write("/* XPM */\n")
        f.write(f"static const char *{name}[] = {{\n")
        f.write(f'"{len(rows[0])} {len(rows)} {len(used)} 1",\n')
        for ch in used:
            f.write(f'"{ch} c {PALETTE[ch]}",\n')
        f.write(",\n".join(f'"{r}"' for r in rows))
        f.write("\n};\n")


def main():
    os.makedirs(OUT, exist_ok=True)
    grid = draw()
    icon = os.path.join(OUT, "quilmon7400.xpm")
    write_xpm(icon, "quilmon7400", grid, 1)
    write_xpm(os.path.join(OUT, "verdisp.xpm"), "verdisp", grid, 2)
    convert = shutil.which("convert")
    if not convert:
        return
    for size in THEME_SIZES:
        folder = os.path.join(OUT, "hicolor", f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        scale = ["-filter", "point"] if size % SIZE == 0 else []
        subprocess.run([convert, icon, *scale, "-resize", f"{size}x{size}", "-strip",
                        "-define", "png:exclude-chunks=date,time",
                        os.path.join(folder, "quilmon7400.png")], check=True)


if __name__ == "__main__":
    main()
