#!/usr/bin/python3
"""Draws the installer's artwork: the splash backgrounds, the progress-bar caps and the icon.

Run with Debian's python3 and python3-pil (fonts from fonts-dejavu-core):
    /usr/bin/python3 res/art/make_art.py
It rewrites splash.png, splash@2x.png, cap.png, cap@2x.png and app.ico next to itself. The
outputs are committed, so a build never needs this script.

Every length below is in pixels of the 96-DPI splash; the 192-DPI art is the same drawing made
natively at scale 2 (not an enlargement). The renderer fills the bar into the painted track, so
these numbers must stay as they are:
    card 380 x 210 at (30, 20); dark strip from y 170 to the card's bottom;
    track 10 px high at y 195, x 55 .. 384 with rounded ends, x 55 .. 60 already green;
    bar from x 61, at most 321 px; cap 7 x 10 drawn right of the bar's end.
"""

import math
import os
import struct
import io

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
FONT_BOLD = os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf")
FONT_REGULAR = os.path.join(FONT_DIR, "DejaVuSans.ttf")

SUPERSAMPLE = 4  # shapes and text are drawn this much larger and box-filtered down

WIDTH, HEIGHT = 440, 270
CARD = (30, 20, 410, 230)          # left, top, right, bottom (exclusive)
STRIP_TOP = 170
TRACK = (55, 195, 385, 205)        # the groove, rounded ends of radius 5
BAR_X = 61                         # first column the renderer fills
CAP_W, CAP_H = 7, 10
CAP_SQUARE = 2                     # opaque columns before the rounding starts

CARD_COLOR = (0xFF, 0xFF, 0xFF)
STRIP_COLOR = (0x24, 0x24, 0x24)
GROOVE_COLOR = (0x45, 0x45, 0x45)
GREEN = (0x68, 0xBC, 0x71)
GREEN_LIGHT = (0x86, 0xD1, 0x8C)
GREEN_DARK = (0x3E, 0x93, 0x4C)
NAME_COLOR = (0x1E, 0x22, 0x26)
SUBTITLE_COLOR = (0x6A, 0x72, 0x7C)
HAIRLINE_COLOR = (0xE6, 0xE8, 0xEB)

SHADOW_MAX_ALPHA = 95
SHADOW_OFFSET_Y = 3                # light from above: the shadow falls a little lower
SHADOW_SIGMA = 7.0


# ---- logo mark --------------------------------------------------------------------------------

def draw_mark(size, ss=SUPERSAMPLE, detail=True):
    """The product mark: a rounded green tile carrying a white ring with a tail (a geometric Q).
    Returns an RGBA image of size x size, anti-aliased."""
    big = size * ss
    tile = Image.new("RGBA", (big, big), (0, 0, 0, 0))

    # Diagonal gradient from light (top left) to dark (bottom right).
    gradient = Image.new("RGB", (big, big))
    gd = ImageDraw.Draw(gradient)
    steps = 2 * big
    for i in range(steps):
        t = i / (steps - 1)
        color = tuple(round(GREEN_LIGHT[c] + (GREEN_DARK[c] - GREEN_LIGHT[c]) * t) for c in range(3))
        gd.line([(i, 0), (0, i)], fill=color, width=2)

    mask = Image.new("L", (big, big), 0)
    radius = round(big * 0.24)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, big - 1, big - 1), radius=radius, fill=255)
    tile.paste(gradient, (0, 0), mask)

    # The ring and its tail, in white. Thicker at small sizes so the shape survives.
    d = ImageDraw.Draw(tile)
    cx = big * 0.47
    cy = big * 0.46
    outer = big * 0.285
    stroke = big * (0.105 if detail else 0.15)
    d.ellipse((cx - outer, cy - outer, cx + outer, cy + outer), outline=(255, 255, 255, 255),
              width=round(stroke))
    # Tail: a flat-cut stroke crossing the ring's lower right at a shallower angle than the
    # diagonal, as in a geometric Q (a round-capped diagonal would read as a magnifier).
    mid = outer - stroke / 2
    px_, py_ = cx + mid * math.cos(math.radians(52)), cy + mid * math.sin(math.radians(52))
    ux, uy = math.cos(math.radians(33)), math.sin(math.radians(33))
    back, ahead = outer * 0.30, outer * 0.58
    d.line((px_ - ux * back, py_ - uy * back, px_ + ux * ahead, py_ + uy * ahead),
           fill=(255, 255, 255, 255), width=round(stroke))
    return tile.resize((size, size), Image.Resampling.BOX)


# ---- splash background ------------------------------------------------------------------------

def sc(value, scale):
    return int(round(value * scale))


def draw_card(scale):
    """The opaque card, RGB, at the given scale."""
    ss = SUPERSAMPLE * scale
    cw, ch = (CARD[2] - CARD[0]), (CARD[3] - CARD[1])
    img = Image.new("RGB", (cw * ss, ch * ss), CARD_COLOR)
    d = ImageDraw.Draw(img)

    def box(x0, y0, x1, y1):
        # card-local, exclusive right/bottom, in 96-DPI pixels
        return ((x0 - CARD[0]) * ss, (y0 - CARD[1]) * ss, (x1 - CARD[0]) * ss - 1, (y1 - CARD[1]) * ss - 1)

    # Dark strip holding the track.
    d.rectangle(box(CARD[0], STRIP_TOP, CARD[2], CARD[3]), fill=STRIP_COLOR)

    # Groove, then its green start (x 55 .. 60), with the same rounded left end.
    radius = (TRACK[3] - TRACK[1]) * ss // 2
    d.rounded_rectangle(box(*TRACK), radius=radius, fill=GROOVE_COLOR)
    # The green pill is made longer than needed and cut back at the bar's start, so that its
    # last column (x 60) is full height and meets the bar without a notch.
    d.rounded_rectangle(box(TRACK[0], TRACK[1], TRACK[0] + 20, TRACK[3]), radius=radius, fill=GREEN)
    d.rectangle(box(BAR_X, TRACK[1], TRACK[0] + 20, TRACK[3]), fill=GROOVE_COLOR)

    img = img.resize((cw * scale, ch * scale), Image.Resampling.BOX)

    # Mark and name, drawn at the final scale (each does its own supersampling).
    mark_size = 64 * scale
    upper_mid = (STRIP_TOP - CARD[1]) * scale // 2
    mark_x = (TRACK[0] - CARD[0]) * scale
    mark_y = upper_mid - mark_size // 2
    mark = draw_mark(mark_size)
    img.paste(mark, (mark_x, mark_y), mark)

    text_x = mark_x + mark_size + 18 * scale
    draw_text(img, text_x, upper_mid, scale)
    return img


def draw_text(img, x, mid_y, scale):
    """The product name over a quieter subtitle, the block centred on mid_y by its visible ink
    (cap top of the name to the subtitle's baseline)."""
    ss = SUPERSAMPLE
    name_font = ImageFont.truetype(FONT_BOLD, 38 * scale * ss)
    sub_font = ImageFont.truetype(FONT_REGULAR, 15 * scale * ss)
    name, subtitle = "Quorvel", "Web Installer"
    tracking = 0.6 * scale * ss    # the subtitle is spaced out a little for a calmer line

    name_h = -name_font.getbbox("Q", anchor="ls")[1]
    sub_h = -sub_font.getbbox("W", anchor="ls")[1]
    gap = 10 * scale * ss
    block = name_h + gap + sub_h

    pad = 8 * ss
    width = int(max(name_font.getlength(name), sub_font.getlength(subtitle) + tracking * len(subtitle))) + 2 * pad
    height = block + 2 * pad + name_font.getbbox("Q", anchor="ls")[3]
    height += (-height) % ss
    width += (-width) % ss
    layer = Image.new("RGB", (width, height), CARD_COLOR)
    d = ImageDraw.Draw(layer)
    d.text((pad, pad + name_h), name, font=name_font, fill=NAME_COLOR, anchor="ls")
    sx = pad + ss
    for ch in subtitle:
        d.text((sx, pad + name_h + gap + sub_h), ch, font=sub_font, fill=SUBTITLE_COLOR, anchor="ls")
        sx += sub_font.getlength(ch) + tracking
    small = layer.resize((width // ss, height // ss), Image.Resampling.BOX)
    top = mid_y - block // (2 * ss)
    img.paste(small, (x - pad // ss, top - pad // ss))


def draw_shadow(scale):
    """Alpha of the black shadow around the card, L mode, zero at the image's edges."""
    w, h = WIDTH * scale, HEIGHT * scale
    mask = Image.new("L", (w, h), 0)
    off = SHADOW_OFFSET_Y * scale
    ImageDraw.Draw(mask).rectangle(
        (CARD[0] * scale, CARD[1] * scale + off, CARD[2] * scale - 1, CARD[3] * scale - 1 + off), fill=255)
    blurred = mask.filter(ImageFilter.GaussianBlur(SHADOW_SIGMA * scale))
    # The blur gives about half its peak right at the card's edge: lift that to the maximum.
    alpha = blurred.point(lambda v: min(SHADOW_MAX_ALPHA, (v * SHADOW_MAX_ALPHA * 2 + 127) // 255))

    # Fade the last few pixels to exactly zero so the soft edge never shows a cut.
    fade = 6 * scale
    px = alpha.load()
    for y in range(h):
        for x in range(w):
            edge = min(x, y, w - 1 - x, h - 1 - y)
            if edge < fade:
                px[x, y] = px[x, y] * edge // fade
    return alpha


def build_background(scale):
    """RGBA picture of the whole background at the given scale."""
    w, h = WIDTH * scale, HEIGHT * scale
    shadow = draw_shadow(scale)
    img = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    img.putalpha(shadow)
    card = draw_card(scale)
    img.paste(card, (CARD[0] * scale, CARD[1] * scale))
    return img


def to_palette(rgba, exact_colors):
    """8-bit palette image with a tRNS chunk. Translucent pixels are black (the shadow) and keep
    their alpha; opaque pixels are quantised, except the exact colours, which keep their value."""
    w, h = rgba.size
    pixels = list(rgba.getdata())
    alphas = sorted({a for (r, g, b, a) in pixels if a < 255})
    for (r, g, b, a) in pixels:
        if 0 < a < 255 and (r, g, b) != (0, 0, 0):
            raise SystemExit("translucent pixel that is not shadow black")
    palette = [(0, 0, 0, a) for a in alphas]
    exact = list(dict.fromkeys(exact_colors))
    palette += [(r, g, b, 255) for (r, g, b) in exact]
    room = 256 - len(palette)
    if room < 64:
        raise SystemExit("palette too full: %d entries left" % room)

    opaque = Image.new("RGB", (w, h), exact[0])
    opaque.paste(rgba.convert("RGB"), (0, 0), rgba.split()[3].point(lambda a: 255 if a == 255 else 0))
    quant = opaque.quantize(colors=room, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    qpal = quant.getpalette()[: room * 3]
    base = len(palette)
    palette += [(qpal[i * 3], qpal[i * 3 + 1], qpal[i * 3 + 2], 255) for i in range(len(qpal) // 3)]

    alpha_index = {a: i for i, (_, _, _, a) in enumerate(palette[: len(alphas)])}
    exact_index = {c: len(alphas) + i for i, c in enumerate(exact)}
    qdata = list(quant.getdata())
    out = []
    for i, (r, g, b, a) in enumerate(pixels):
        if a < 255:
            out.append(alpha_index[a])
        elif (r, g, b) in exact_index:
            out.append(exact_index[(r, g, b)])
        else:
            out.append(base + qdata[i])
    img = Image.new("P", (w, h))
    img.putdata(out)
    flat = []
    for (r, g, b, _a) in palette:
        flat += [r, g, b]
    img.putpalette(flat)
    trns = bytes(a for (_r, _g, _b, a) in palette)
    return img, trns


def write_background(scale, name):
    rgba = build_background(scale)
    img, trns = to_palette(rgba, [CARD_COLOR, STRIP_COLOR, GROOVE_COLOR, GREEN])
    img.save(os.path.join(HERE, name), format="PNG", transparency=trns, optimize=True)


# ---- progress-bar cap -------------------------------------------------------------------------

def write_cap(scale, name):
    """The bar's rounded right end: opaque left columns, then a half disc whose edge is
    anti-aliased by area coverage (16 x 16 samples a pixel, symmetric top to bottom)."""
    w, h = CAP_W * scale, CAP_H * scale
    square = CAP_SQUARE * scale
    r = h / 2.0
    n = 16
    img = Image.new("RGBA", (w, h))
    px = img.load()
    for y in range(h):
        for x in range(w):
            inside = 0
            for sy in range(n):
                fy = y + (sy + 0.5) / n
                for sx in range(n):
                    fx = x + (sx + 0.5) / n
                    if fx < square or (fx - square) ** 2 + (fy - r) ** 2 <= r * r:
                        inside += 1
            alpha = (inside * 255 + n * n // 2) // (n * n)
            px[x, y] = GREEN + (alpha,)
    img.save(os.path.join(HERE, name), format="PNG", optimize=True)


# ---- icon -------------------------------------------------------------------------------------

def bmp_icon_entry(img):
    """32-bpp DIB of an icon entry: BITMAPINFOHEADER (double height), bottom-up BGRA, AND mask."""
    w, h = img.size
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    px = img.load()
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b, a = px[x, y]
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        bits = bytearray(mask_stride)
        for x in range(w):
            if px[x, y][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + b"".join(rows) + bytes(mask)


def write_icon(name):
    sizes = [16, 32, 48, 64, 256]
    entries = []
    for size in sizes:
        img = draw_mark(size, ss=8 if size < 64 else 4, detail=size >= 48)
        if size >= 48:
            # Stored as PNG, as Windows reads icon entries of any size since Vista: a 64-pixel
            # entry takes about 2 KB instead of 17 KB of the executable's budget.
            buf = io.BytesIO()
            img.save(buf, format="PNG", optimize=True)
            data = buf.getvalue()
        else:
            data = bmp_icon_entry(img)  # the small sizes keep the classic form
        entries.append((size, data))
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for size, data in entries:
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _size, data in entries:
        out += data
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)


def main():
    write_background(1, "splash.png")
    write_background(2, "splash@2x.png")
    write_cap(1, "cap.png")
    write_cap(2, "cap@2x.png")
    write_icon("app.ico")


if __name__ == "__main__":
    main()
