"""Draw the desktop app's template images (logos and small icons) with Pillow."""
from pathlib import Path

from PIL import Image, ImageDraw, ImageFont

OUT_DIR = Path(__file__).resolve().parent.parent / "model" / "格式範本"
SS = 4  # supersampling factor

BLUE = (31, 106, 165, 255)
BLUE_DARK = (20, 75, 120, 255)
LIGHT = (220, 228, 238, 255)
PAPER_LINE = (150, 170, 192, 255)
AMBER_BACK = (214, 150, 40, 255)
AMBER_FRONT = (247, 192, 80, 255)
FONT_PATHS = [
    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf",
]


def bold_font(size):
    """Return a bold sans font of the given pixel size, or Pillow's default."""
    for path in FONT_PATHS:
        if Path(path).exists():
            return ImageFont.truetype(path, size)
    return ImageFont.load_default(size=size)


def canvas(w, h):
    """Return a transparent supersampled canvas and its draw handle."""
    img = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    return img, ImageDraw.Draw(img)


def finish(img, w, h):
    """Downsample a supersampled canvas to its final size."""
    return img.resize((w, h), Image.LANCZOS)


def draw_logo(size=200):
    """Document sheet with a magnifying glass over its lower right."""
    img, d = canvas(size, size)
    s = size * SS / 200  # scale from a 200-unit design grid
    px = lambda *v: [round(x * s) for x in v]
    # Sheet with folded corner.
    fold = 34
    d.rounded_rectangle(px(28, 14, 140, 176), radius=round(12 * s), fill=LIGHT)
    d.polygon(px(140 - fold, 14, 141, 14, 141, 14 + fold), fill=(0, 0, 0, 0))
    d.polygon(px(140 - fold, 14, 140 - fold, 14 + fold, 140, 14 + fold), fill=PAPER_LINE)
    # Text lines on the sheet.
    for y, x2 in ((62, 118), (84, 118), (106, 92), (128, 80)):
        d.rounded_rectangle(px(46, y, x2, y + 10), radius=round(5 * s), fill=PAPER_LINE)
    d.rounded_rectangle(px(46, 36, 92, 48), radius=round(6 * s), fill=BLUE)
    # Magnifying glass: handle, ring, tinted lens.
    d.line(px(150, 150, 182, 182), fill=BLUE_DARK, width=round(24 * s))
    d.ellipse(px(170, 170, 194, 194), fill=BLUE_DARK)
    lens = Image.new("RGBA", img.size, (0, 0, 0, 0))
    ImageDraw.Draw(lens).ellipse(px(96, 96, 152, 152), fill=(190, 220, 245, 150))
    img.alpha_composite(lens)
    d.ellipse(px(84, 84, 164, 164), outline=BLUE, width=round(15 * s))
    d.arc(px(104, 104, 144, 144), 190, 260, fill=(255, 255, 255, 235), width=round(6 * s))
    return finish(img, size, size)


def draw_wordmark(w=480, h=120):
    """Bold word mark with a blue underline accent."""
    img, d = canvas(w, h)
    text, cap, gap, bar = "VARNEL", 78 * SS, 10 * SS, 12 * SS
    font = bold_font(100 * SS)
    box = d.textbbox((0, 0), text, font=font)
    # Scale the font so caps are `cap` tall and the text fits the width.
    scale = min(cap / (box[3] - box[1]), (w - 16) * SS / (box[2] - box[0]))
    font = bold_font(int(100 * SS * scale))
    box = d.textbbox((0, 0), text, font=font)
    tw, th = box[2] - box[0], box[3] - box[1]
    x = (w * SS - tw) // 2 - box[0]
    top = (h * SS - th - gap - bar) // 2
    d.text((x, top - box[1]), text, font=font, fill=LIGHT)
    ybar = top + th + gap
    d.rounded_rectangle([x + box[0], ybar, x + box[2], ybar + bar], radius=bar // 2, fill=BLUE)
    return finish(img, w, h)


def draw_folder(size=100):
    """Amber folder with a tab and a lighter front flap."""
    img, d = canvas(size, size)
    s = size * SS / 100
    px = lambda *v: [round(x * s) for x in v]
    r = round(6 * s)
    d.rounded_rectangle(px(6, 16, 44, 34), radius=r, fill=AMBER_BACK)
    d.rounded_rectangle(px(6, 24, 94, 86), radius=r, fill=AMBER_BACK)
    d.rounded_rectangle(px(6, 36, 94, 86), radius=r, fill=AMBER_FRONT)
    return finish(img, size, size)


def draw_question(size=100):
    """Blue disc with a light question mark."""
    img, d = canvas(size, size)
    s = size * SS / 100
    d.ellipse([round(4 * s), round(4 * s), round(96 * s), round(96 * s)], fill=BLUE)
    font = bold_font(round(66 * s))
    box = d.textbbox((0, 0), "?", font=font)
    x = (size * SS - (box[2] - box[0])) // 2 - box[0]
    y = (size * SS - (box[3] - box[1])) // 2 - box[1]
    d.text((x, y), "?", font=font, fill=LIGHT)
    return finish(img, size, size)


def main():
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    draw_logo(200).save(OUT_DIR / "logo.png")
    draw_wordmark().save(OUT_DIR / "logo(僅文字).png")
    draw_folder().save(OUT_DIR / "資料夾.png")
    draw_question().save(OUT_DIR / "問號001.png")
    sizes = [(n, n) for n in (16, 32, 48, 64, 128, 256)]
    draw_logo(256).save(OUT_DIR / "logo.ico", format="ICO", sizes=sizes)


if __name__ == "__main__":
    main()
