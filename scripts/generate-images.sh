#!/bin/sh
# Renders the tool's bitmaps and tray icons from their SVG sources with
# rsvg-convert (Debian package librsvg2-bin). The PNG files it writes are
# kept in the repository, so building needs no renderer; run this after
# changing an SVG.
#
#   res/images/*.svg      -> res/bitmap/<id>.png, res/icon/<id>/<size>.png
#   lang/ja/images/*.svg  -> lang/ja/bitmap/<id>.png (the banner on the right is shared)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }

render() { # svg width height png
    mkdir -p "$(dirname "$4")"
    rsvg-convert --width "$2" --height "$3" --output "$4" "$1"
}

# Banners: 137 left (280 x 44), 143 right (100 x 44), 144 wide (300 x 45).
banners() { # source-dir target-dir
    render "$1/banner-left.svg" 280 44 "$2/bitmap/137.png"
    render "$root/res/images/banner-right.svg" 100 44 "$2/bitmap/143.png"
    render "$1/banner-wide.svg" 300 45 "$2/bitmap/144.png"
}
banners "$root/res/images" "$root/res"
banners "$root/lang/ja/images" "$root/lang/ja"

# Tray icons, at the sizes tray hosts ask for.
for pair in 128:normal 166:disabled 167:problem 171:loggedoff; do
    id=${pair%%:*}
    name=${pair#*:}
    for size in 16 22 24 32 48 64; do
        render "$root/res/images/tray-$name.svg" "$size" "$size" "$root/res/icon/$id/$size.png"
    done
done
echo "images written under res/ and lang/ja/"
