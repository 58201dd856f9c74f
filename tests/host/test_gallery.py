"""--html: index.html of all, page and batch, parsed for what each card and row shows and links to
(hostile names included), and opened in headless Chromium, which must load every image."""
import html.parser
import json
import os
import pathlib
import re
import shutil
import subprocess
import urllib.parse

import pytest

from conftest import SAMPLE, SOURCE_DIR

class Node(html.parser.HTMLParser):
    """An element, or (made from a file) the page as a tree of them: text and attribute values come
    unescaped, as a browser reads them, and every element but img, meta and br is closed by its own
    end tag."""

    def __init__(self, tag, attrs=(), path=None):
        super().__init__()
        self.tag, self.attrs, self.children, self.stack = tag, dict(attrs), [], [self]
        if path:
            self.feed(pathlib.Path(path).read_bytes().decode("utf-8"))  # the page is UTF-8 throughout
            assert self.stack == [self], "unclosed elements"

    def handle_starttag(self, tag, attrs):
        self.stack[-1].children.append(Node(tag, attrs))
        if tag not in ("img", "meta", "br"):
            self.stack.append(self.stack[-1].children[-1])

    def handle_endtag(self, tag):
        assert self.stack.pop().tag == tag, f"</{tag}> closes another element"

    def handle_data(self, data):
        self.stack[-1].children.append(data)

    def all(self, tag):
        for c in self.children:
            if isinstance(c, Node):
                yield from [c] * (c.tag == tag) + list(c.all(tag))

    def text(self):
        return "".join(c if isinstance(c, str) else "\n" if c.tag == "br" else c.text() for c in self.children)


def parse(page):
    root = Node("#document", path=page)
    # Self-contained: inline CSS, no script, nothing from elsewhere, and a policy that says so.
    assert not list(root.all("script")) and not list(root.all("link")) and list(root.all("style"))
    for node in [*root.all("a"), *root.all("img")]:
        url = node.attrs.get("href") or node.attrs["src"]
        assert not urllib.parse.urlsplit(url).scheme and not url.startswith("//"), url
    csp = [m.attrs["content"] for m in root.all("meta") if m.attrs.get("http-equiv") == "Content-Security-Policy"]
    assert csp and "default-src 'none'" in csp[0]
    return root


def target(page, url):
    """The file a link of page names, as bytes: percent escapes undone, relative to the page."""
    path = urllib.parse.unquote_to_bytes(url)
    return path if path.startswith(b"/") else os.path.join(os.fsencode(pathlib.Path(page).parent), path)


def shown(name):
    """How a page shows a name (bytes): bytes that are not UTF-8 and control characters as \\xnn."""
    text = os.fsencode(name).decode("utf-8", "backslashreplace")
    return re.sub(r"[\x00-\x1f\x7f]", lambda m: "\\x%02x" % ord(m.group()), text)


def bytes_of(size_text):
    return float(size_text[:-1]) * {"B": 1, "K": 1024, "M": 1024 ** 2}[size_text[-1]]


def check_cards(page, listing):
    """The cards of an output directory's index.html against (page, width, height, type) per file."""
    root = parse(page)
    cards = list(root.all("figure"))
    assert len(cards) == len(listing)
    files = []
    for card, (num, (pg, w, h, kind)) in zip(cards, enumerate(listing, 1)):
        (img,), links = list(card.all("img")), [a.attrs["href"] for a in card.all("a")]
        name = "image_%03d.%s" % (num, "jpg" if kind == "jpeg" else "png")
        assert img.attrs["src"] == name and img.attrs["loading"] == "lazy" and set(links) == {name}
        file_name, facts = next(card.all("figcaption")).text().split("\n")
        size = os.path.getsize(target(page, name))
        fields = facts.split(" \u00b7 ")
        assert (file_name, fields[:3]) == (name, [f"page {pg}", f"{w} \u00d7 {h}", kind])
        assert abs(bytes_of(fields[3]) - size) <= 0.05 * size
        files.append(size)
    count, total = re.match(r"(\d+) images?(?: of page \d+)?, (\S+) \u00b7", next(root.all("p")).text()).groups()
    assert int(count) == len(listing) and abs(bytes_of(total) - sum(files)) <= 0.05 * sum(files) + 1
    return root


def test_all_gallery_is_the_listing(tmp_path, run):
    r = run("all", "--html", SAMPLE, tmp_path / "out")
    assert r.returncode == 0 and r.stdout.endswith(b"gallery: %s/index.html\n" % bytes(tmp_path / "out"))
    listing = [(i["page"], i["width"], i["height"], i["type"]) for i in json.loads(run("info", SAMPLE).stdout)]
    root = check_cards(tmp_path / "out" / "index.html", listing)
    assert next(root.all("title")).text() == next(root.all("h1")).text() == "sample.pdf"
    assert not [n for n in os.listdir(tmp_path / "out") if n.startswith(".")]  # no temporary file left


def test_page_gallery_names_the_files_this_call_wrote(tmp_path, run):
    # Page 1 leaves image_001.jpg and image_003.png; page 2 writes image_001.png to image_003.png.
    assert run("page", SAMPLE, "1", tmp_path / "out").returncode == 0
    assert run("page", "--html", SAMPLE, "2", tmp_path / "out").returncode == 0
    check_cards(tmp_path / "out" / "index.html", [(2, 48, 32, "png"), (2, 32, 32, "png"), (2, 32, 32, "png")])


HOSTILE = [b"a<b>&c.pdf", b"q\"uo'te.pdf", b"h#sh?x%41 sp.pdf", b"caf\xe9.pdf", b"new\nline.pdf",
           b"<img src=x onerror=alert(1)>.pdf"]
BROKEN = b"bad <i>&amp;.pdf"  # not a PDF: a failed row whose error text holds the name


def make_hostile_tree(base):
    os.makedirs(os.fsencode(base / "in" / "sub"))
    for name in [*HOSTILE, b"sub/deep.pdf"]:
        shutil.copyfile(SAMPLE, os.path.join(os.fsencode(base / "in"), name))
    with open(os.path.join(os.fsencode(base / "in"), BROKEN), "wb") as f:
        f.write(b"junk </td></tr></table><script>alert(1)</script>")


def check_batch_page(page, records):
    """The rows of a batch page against the report records they stand for, in order."""
    rows = [tr for tr in parse(page).all("tr") if list(tr.all("td"))]
    assert len(rows) == len(records)
    for tr, rec in zip(rows, records):
        num, pdf, status, images, seconds, thumbs = list(tr.all("td"))[:6]
        links = list(pdf.all("a"))
        errors = [d.text() for d in pdf.all("div")]
        assert (status.text(), int(images.text()), errors) == (rec["status"], rec["images"],
                                                              [shown(rec["error"])] if rec["error"] else [])
        assert abs(float(seconds.text()) - rec["seconds"]) < 0.001
        output = os.fsencode(rec["output"])
        if not os.path.isdir(output):
            assert not links and pdf.children[0] == shown(rec["path"])
            continue
        assert [a.text() for a in links] == [shown(rec["path"])]
        want = os.path.join(output, b"index.html") if os.path.exists(os.path.join(output, b"index.html")) else output
        assert os.path.samefile(target(page, links[0].attrs["href"]), want)
        srcs = [target(page, img.attrs["src"]) for img in thumbs.all("img")]
        assert len(srcs) == min(8, rec["images"])
        assert [os.path.basename(s)[:9] for s in srcs] == [b"image_%03d" % k for k in range(1, len(srcs) + 1)]
        assert all(os.path.samefile(os.path.dirname(s), output) for s in srcs)


def records(report):
    with open(report, "rb") as f:
        return [json.loads(line) for line in f]


@pytest.fixture(scope="module")
def hostile(tmp_path_factory, cli):
    """A batch with --html over copies of the sample under hostile names, and a broken file."""
    base = tmp_path_factory.mktemp("hostile")
    make_hostile_tree(base)
    r = subprocess.run([cli, "batch", "--html", "-j", "2", base / "out", base / "in"], capture_output=True, timeout=300)
    assert r.returncode == 1 and r.stdout.endswith(b"gallery: %s/index.html\n" % bytes(base / "out")), r.stderr
    return base


def test_batch_gallery_shows_and_links_hostile_names(hostile):
    recs = records(hostile / "out" / "report.jsonl")
    assert len(recs) == len(HOSTILE) + 2
    check_batch_page(hostile / "out" / "index.html", recs)
    for rec in recs:
        if rec["status"] == "ok":
            page = os.path.join(os.fsencode(rec["output"]), b"index.html")
            root = check_cards(os.fsdecode(page), [(1, 16, 16, "jpeg"), (1, 48, 32, "png"), (1, 40, 24, "png"),
                                                   (2, 32, 32, "png"), (2, 32, 32, "png")])
            assert next(root.all("title")).text() == shown(os.path.basename(os.fsencode(rec["path"])))


def test_resume_rewrites_the_gallery_from_the_whole_report(tmp_path, run):
    make_hostile_tree(tmp_path)
    assert run("batch", "--html", tmp_path / "out", tmp_path / "in").returncode == 1
    first = records(tmp_path / "out" / "report.jsonl")
    shutil.copyfile(SAMPLE, os.path.join(os.fsencode(tmp_path / "in"), BROKEN))
    r = run("batch", "--resume", "--html", tmp_path / "out", tmp_path / "in")
    assert r.returncode == 0 and b"%d skipped" % (len(first) - 1) in r.stdout
    # Each path keeps the row where it first stood, with its last line.
    last = {rec["path"]: rec for rec in records(tmp_path / "out" / "report.jsonl")}
    check_batch_page(tmp_path / "out" / "index.html", [last[rec["path"]] for rec in first])
    assert {rec["status"] for rec in last.values()} == {"ok"}


def test_batch_pages_of_500_rows_link_to_one_another(tmp_path, run):
    os.makedirs(tmp_path / "out")
    made = [{"path": f"gone/{k}.pdf", "status": "failed", "images": 0, "error": f"cannot open gone/{k}.pdf",
             "seconds": 0.001, "output": str(tmp_path / "out" / "gone" / str(k))} for k in range(1001)]
    with open(tmp_path / "out" / "report.jsonl", "w") as f:
        f.writelines(json.dumps(rec) + "\n" for rec in made)
    for stale in ["index-4.html", "index-5.html"]:  # pages of an earlier, longer report
        (tmp_path / "out" / stale).write_text("old")
    shutil.copyfile(SAMPLE, tmp_path / "one.pdf")
    assert run("batch", "--resume", "--html", tmp_path / "out", tmp_path / "one.pdf").returncode == 0
    recs = records(tmp_path / "out" / "report.jsonl")
    pages = ["index.html", "index-2.html", "index-3.html"]
    assert sorted(n for n in os.listdir(tmp_path / "out") if n.endswith(".html")) == sorted(pages)
    for k, name in enumerate(pages):
        check_batch_page(tmp_path / "out" / name, recs[500 * k:500 * (k + 1)])
        root = parse(tmp_path / "out" / name)
        numbers = [int(next(tr.all("td")).text()) for tr in root.all("tr") if list(tr.all("td"))]
        assert numbers == list(range(500 * k + 1, min(500 * (k + 1), len(recs)) + 1))
        nav = {a.attrs["href"] for a in next(root.all("nav")).all("a")}
        assert nav == set(pages) - {name}


# --- In a browser ---

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars"]

# Added to a copy of a page beside it: once every image has finished (loaded or failed), the body
# says how many have pixels and which have not.
CHECK = """<script>
addEventListener("load", function poll() {
  var imgs = Array.prototype.slice.call(document.images);
  if (imgs.some(function (i) { return !i.complete; })) return setTimeout(poll, 50);
  var bad = imgs.filter(function (i) { return !i.naturalWidth; });
  document.body.setAttribute("data-qv", (imgs.length - bad.length) + "/" + imgs.length);
  document.body.setAttribute("data-qv-broken", bad.map(function (i) { return i.getAttribute("src"); }).join(" "));
});
</script>"""


@pytest.fixture(scope="session")
def chromium(tmp_path_factory):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if not exe:
        pytest.skip("Chromium is not installed (tools/install_deps.sh --test installs Debian's chromium): "
                    "the galleries are not opened in a browser")

    def chromium(*args):
        profile = tmp_path_factory.mktemp("chromium-profile")  # fresh each time: nothing carried over
        r = subprocess.run([exe, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *map(str, args)],
                           capture_output=True, timeout=120)
        assert r.returncode == 0, r.stderr.decode(errors="replace")[-2000:]
        return r.stdout
    return chromium


def images_loaded(chromium, page):
    """(images with pixels, images) once a browser has shown page; the missing ones listed."""
    page = pathlib.Path(page)
    text = page.read_text()
    # The policy that keeps scripts out is kept as it is for images, but lets this check run.
    text = text.replace("default-src 'none';", "default-src 'none'; script-src 'unsafe-inline';", 1)
    check = page.parent / ".qv-check.html"
    check.write_text(text.replace("</body>", CHECK + "</body>", 1))
    try:
        dom = chromium("--window-size=1280,8000", "--virtual-time-budget=10000", "--dump-dom", check.as_uri())
    finally:
        check.unlink()
    m = re.search(rb'data-qv="(\d+)/(\d+)" data-qv-broken="([^"]*)"', dom)
    assert m, "the page's check did not run:\n" + dom.decode(errors="replace")[-2000:]
    return int(m.group(1)), int(m.group(2)), m.group(3).decode()


def test_sample_gallery_in_a_browser(tmp_path, cli, chromium):
    # Run from the checkout, so the page (and the README's picture) names examples/sample.pdf.
    subprocess.run([cli, "all", "--html", SAMPLE.relative_to(SOURCE_DIR), tmp_path / "out"], cwd=SOURCE_DIR,
                   check=True, capture_output=True, timeout=120)
    assert images_loaded(chromium, tmp_path / "out" / "index.html") == (5, 5, "")
    shot = tmp_path / "gallery.png"
    chromium("--window-size=1200,330", f"--screenshot={shot}", (tmp_path / "out" / "index.html").as_uri())
    pil = pytest.importorskip("PIL.Image", reason="Pillow is not installed: the screenshot's pixels are not checked")
    with pil.open(shot) as im:
        colours = len(set(im.convert("RGB").crop((0, 80, 1200, 330)).getdata()))
    assert colours > 500  # the cards' gradients drawn, not a blank or broken-image page
    if os.environ.get("PDFEXTRACTIMG_SCREENSHOT"):  # the README's picture: docs/gallery.png
        shutil.copyfile(shot, os.environ["PDFEXTRACTIMG_SCREENSHOT"])


def test_hostile_batch_gallery_in_a_browser(hostile, chromium):
    loaded, total, broken = images_loaded(chromium, hostile / "out" / "index.html")
    assert (loaded, broken) == (total, "") and total == 5 * (len(HOSTILE) + 1)
    for rec in records(hostile / "out" / "report.jsonl"):
        if rec["status"] == "ok":
            page = os.fsdecode(os.path.join(os.fsencode(rec["output"]), b"index.html"))
            assert images_loaded(chromium, page) == (5, 5, ""), rec["path"]
