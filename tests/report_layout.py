#!/usr/bin/env python3
"""Opens an HTML report in headless Chromium at several window widths and checks, from
the page's own geometry, that a person can read it:

  - the page does not scroll sideways (the document is no wider than the viewport);
  - no two pieces of text overlap (SVG text within one SVG, HTML text anywhere), and no
    SVG text lies on a waveform of its panel;
  - every failed-crossfade mark (.fail, or .xf.bad) is at least 3 px wide and on top:
    the element at its centre is the mark itself;
  - every panel holds three waveforms, and the report has the expected numbers of edit
    rows and plan lanes (and, with --failed-marks N, at least N failed-crossfade marks
    in the plan's lanes, so that a job made to fail crossfades does not pass for want
    of marks).

Usage: report_layout.py [--screenshots DIR] [--failed-marks N] REPORT EDIT_ROWS LANES
       [WIDTH...]
The widths are 800, 1280 and 2560 px unless given; --screenshots saves the whole page
at each width in DIR. Prints a line per failed check; exits 0 when all pass, 1 when one
fails, 77 when Chromium, its driver or Selenium is missing (1 then too when CI is
"true": a CI machine must have them), 2 on a wrong command line.
"""
import os
import pathlib
import shutil
import sys
import tempfile

USAGE = __doc__[__doc__.index('Usage:'):].strip()

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
DEBIAN_PYTHON = '/usr/bin/python3'  # python3-selenium installs for this interpreter
WINDOW_HEIGHT = 1000
TEXT_TOLERANCE = 0.5  # px of overlap, both ways, that still counts as touching
WIDTH_TOLERANCE = 1   # px the document may exceed the viewport by (rounding)
MARK_WIDTH = 3        # px a failed-crossfade mark is at least wide
MARKS = '.fail, .xf.bad'

# Runs in the page; returns a list of failures, each a line of text. arguments[0]: the
# viewport's width and the expected [edit rows, lanes, failed-crossfade marks in the
# lanes or null]; arguments[1]: the tolerances.
GEOMETRY = r'''
const [width, rows, lanes, failedMarks] = arguments[0];
const [textTolerance, widthTolerance, markWidth, marks] = arguments[1];
const failures = [];
const doc = document.documentElement;
const fmt = r => '[' + [r.left, r.top, r.width, r.height].map(v => Math.round(v * 10) / 10).join(',') + ']';
const snippet = s => { s = s.replace(/\s+/g, ' ').trim(); return JSON.stringify(s.length > 40 ? s.slice(0, 37) + '...' : s); };
// An element as a reader can find it: its tag, classes and id, where it sits (edit row
// and panel number), and its text when it has some.
const name = el => {
  let s = el.tagName.toLowerCase();
  if (el.id) s += '#' + el.id;
  const css = el.getAttribute('class');
  if (css) s += '.' + css.trim().split(/\s+/).join('.');
  const panel = el.closest('svg.panel');
  if (panel) {
    const section = panel.closest('section');
    const all = section ? Array.from(section.querySelectorAll('svg.panel')) : [];
    s = (section && section.id ? 'section#' + section.id + ' ' : '') + 'panel ' + (all.indexOf(panel) + 1) + ' ' + s;
  } else if (el.closest('svg.plan') && el.tagName.toLowerCase() !== 'svg') {
    const lane = el.closest('g.lane');
    if (lane) s = 'lane ' + (Array.from(document.querySelectorAll('svg.plan g.lane')).indexOf(lane) + 1) + ' ' + s;
    s = 'svg.plan ' + s;
  }
  return s;
};
const overlap = (a, b, tol) =>
  Math.min(a.right, b.right) - Math.max(a.left, b.left) > tol &&
  Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > tol;
const rect = (left, top, right, bottom) => ({left, top, right, bottom, width: right - left, height: bottom - top});
const cut = (a, b) => rect(Math.max(a.left, b.left), Math.max(a.top, b.top), Math.min(a.right, b.right), Math.min(a.bottom, b.bottom));
const empty = r => !(r.width > 0 && r.height > 0);
const shown = el => {
  for (let e = el; e && e.nodeType === 1; e = e.parentElement) {
    const style = getComputedStyle(e);
    if (style.display === 'none' || style.visibility !== 'visible' || style.opacity === '0') return false;
  }
  return true;
};
// The screen rectangle of an SVG element, less what its SVG's viewport and the clip
// paths around it cut away (a clipped name is drawn only up to its clip).
const visibleBox = el => {
  let box = el.getBoundingClientRect();
  for (let e = el; e && e.nodeType === 1; e = e.parentElement) {
    if (e !== el && e.tagName.toLowerCase() === 'svg' && getComputedStyle(e).overflow !== 'visible')
      box = cut(box, e.getBoundingClientRect());
    const clip = e.getAttribute('clip-path');
    const id = clip && /url\(\s*["']?#([^"')]+)["']?\s*\)/.exec(clip);
    const path = id && document.getElementById(id[1]);
    const ctm = e.getScreenCTM && e.getScreenCTM();
    if (!path || !ctm) continue;
    let area = null;  // the union of the clip's rectangles, on the screen
    for (const shape of path.children) {
      // A rectangle's own figures: a clip's shapes are never drawn, and getBBox may not
      // measure them.
      const b = shape instanceof SVGRectElement ?
        {x: shape.x.baseVal.value, y: shape.y.baseVal.value, width: shape.width.baseVal.value,
         height: shape.height.baseVal.value} : shape.getBBox ? shape.getBBox() : null;
      if (!b) continue;
      const pts = [[b.x, b.y], [b.x + b.width, b.y], [b.x, b.y + b.height], [b.x + b.width, b.y + b.height]]
        .map(([x, y]) => new DOMPoint(x, y).matrixTransform(ctm));
      const r = rect(Math.min(...pts.map(p => p.x)), Math.min(...pts.map(p => p.y)),
                     Math.max(...pts.map(p => p.x)), Math.max(...pts.map(p => p.y)));
      area = area ? rect(Math.min(area.left, r.left), Math.min(area.top, r.top),
                         Math.max(area.right, r.right), Math.max(area.bottom, r.bottom)) : r;
    }
    if (area) box = cut(box, area);
  }
  return box;
};

// The box of an SVG text's glyphs: vertically the band they cover, from the highest
// ascender to the lowest descender of its own characters. The element's own box spans
// the font's whole ascent and descent, room that two lines set close together share
// without touching. (A halo stroke around the glyphs is left out: it is drawn in the
// background's colour.)
const ruler = document.createElement('canvas').getContext('2d');
const glyphs = (el, box) => {
  const ctm = el.getScreenCTM && el.getScreenCTM();
  if (!ctm || !el.getNumberOfChars || el.getNumberOfChars() === 0 || ctm.b !== 0 || ctm.c !== 0) return box;
  const style = getComputedStyle(el);
  ruler.font = style.fontStyle + ' ' + style.fontWeight + ' ' + style.fontSize + ' ' + style.fontFamily;
  const m = ruler.measureText(el.textContent);
  const start = el.getStartPositionOfChar(0);
  const baseline = new DOMPoint(start.x, start.y).matrixTransform(ctm).y;
  const scale = Math.abs(ctm.d);
  return cut(box, rect(box.left, baseline - m.actualBoundingBoxAscent * scale, box.right,
                       baseline + m.actualBoundingBoxDescent * scale));
};
// Whether the line of `path` as drawn passes through `box` (screen pixels), probed every
// half pixel: a trace's box can reach far past where it runs under a label.
const crosses = (path, box) => {
  const ctm = path.getScreenCTM && path.getScreenCTM();
  if (!ctm || !path.isPointInStroke || empty(box)) return false;
  const back = ctm.inverse();
  for (let y = box.top + 0.25; y < box.bottom; y += 0.5)
    for (let x = box.left + 0.25; x < box.right; x += 0.5)
      if (path.isPointInStroke(new DOMPoint(x, y).matrixTransform(back))) return true;
  return false;
};
const onPage = r => rect(r.left + window.scrollX, r.top + window.scrollY, r.right + window.scrollX, r.bottom + window.scrollY);

// 0. The window is as wide as asked: a check at the wrong width would say nothing.
if (window.innerWidth !== width) failures.push('the viewport is ' + window.innerWidth + ' px wide, not ' + width);

// 1. No sideways scrolling. The room the page has is the viewport less a vertical
// scroll bar, if one takes up space (a page just wider than that scrolls sideways,
// however narrow the bar).
const room = doc.clientWidth;
if (doc.scrollWidth > room + widthTolerance) {
  // The outermost elements that reach past the right edge, as the cause.
  const past = Array.from(document.body.querySelectorAll('*')).filter(el =>
    el.closest('svg') === el || !el.closest('svg')).filter(el => {
      const r = el.getBoundingClientRect();
      return r.width > 0 && r.right + window.scrollX > room + widthTolerance;
    });
  const outer = past.filter(el => !past.some(p => p !== el && p.contains(el))).slice(0, 5);
  failures.push('the page scrolls sideways: the document is ' + doc.scrollWidth + ' px wide, the viewport ' +
    window.innerWidth + ' px (' + room + ' px beside the scroll bar); reaching past it: ' +
    (outer.map(el => name(el) + ' ' + fmt(el.getBoundingClientRect())).join(', ') || 'nothing found'));
}

// 2. Text on text. SVG text elements, each against the others of its SVG.
const svgTexts = Array.from(document.querySelectorAll('svg text')).filter(shown)
  .map(el => ({el, box: glyphs(el, visibleBox(el)), svg: el.ownerSVGElement, text: el.textContent}))
  .filter(t => !empty(t.box) && t.text.trim() !== '');
const bySvg = new Map();
for (const t of svgTexts) {
  if (!bySvg.has(t.svg)) bySvg.set(t.svg, []);
  bySvg.get(t.svg).push(t);
}
for (const texts of bySvg.values())
  for (let i = 0; i < texts.length; i++)
    for (let j = i + 1; j < texts.length; j++) {
      const a = texts[i], b = texts[j];
      if (overlap(a.box, b.box, textTolerance))
        failures.push('text on text: ' + name(a.el) + ' ' + snippet(a.text) + ' ' + fmt(a.box) + ' and ' +
          name(b.el) + ' ' + snippet(b.text) + ' ' + fmt(b.box));
    }
// HTML text: each line of each text node outside SVG, against the lines of the others.
const htmlLines = [];
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let node; (node = walker.nextNode());) {
  const el = node.parentElement;
  if (node.data.trim() === '' || el.closest('svg') || !shown(el)) continue;
  const range = document.createRange();
  range.selectNodeContents(node);
  for (const r of range.getClientRects())
    if (!empty(r)) htmlLines.push({el, node, box: r});
}
for (let i = 0; i < htmlLines.length; i++)
  for (let j = i + 1; j < htmlLines.length; j++) {
    const a = htmlLines[i], b = htmlLines[j];
    if (a.node !== b.node && overlap(a.box, b.box, textTolerance))
      failures.push('text on text: ' + name(a.el) + ' ' + snippet(a.node.data) + ' ' + fmt(a.box) + ' and ' +
        name(b.el) + ' ' + snippet(b.node.data) + ' ' + fmt(b.box));
  }
// 3. Labels beside the waveforms, not on them; three waveforms a panel.
const panels = Array.from(document.querySelectorAll('svg.panel'));
for (const panel of panels) {
  const traces = Array.from(panel.querySelectorAll('path.w'));
  if (traces.length !== 3)
    failures.push(name(panel) + ' holds ' + traces.length + ' waveforms (path.w), not 3');
  const shownTraces = traces.filter(shown).map(el => ({el, box: visibleBox(el)})).filter(t => !empty(t.box));
  // A label fails when its glyphs enter the waveform's box; the complaint says whether
  // the drawn line itself runs under them.
  for (const t of bySvg.get(panel) || [])
    for (const w of shownTraces)
      if (overlap(t.box, w.box, textTolerance))
        failures.push('text on a waveform: ' + name(t.el) + ' ' + snippet(t.text) + ' glyphs ' + fmt(t.box) +
          ' and ' + name(w.el) + ' (' + (w.el.parentElement.getAttribute('class') || '') + ') ' + fmt(w.box) +
          (crosses(w.el, cut(t.box, w.box)) ? ': the drawn line runs under the text' :
                                              ': inside its box, clear of the drawn line'));
}

// 4. Failed-crossfade marks: wide enough to see, and nothing drawn over their centre.
for (const mark of Array.from(document.querySelectorAll(marks)).filter(shown)) {
  mark.scrollIntoView({block: 'center', inline: 'center'});
  const box = mark.getBoundingClientRect();
  if (box.width < markWidth - 0.01)
    failures.push('failed-crossfade mark ' + name(mark) + ' ' + fmt(onPage(box)) + ' is ' +
      Math.round(box.width * 100) / 100 + ' px wide, less than ' + markWidth);
  const x = box.left + box.width / 2, y = box.top + box.height / 2;
  const hit = document.elementFromPoint(x, y);
  if (!hit || !(hit === mark || mark.contains(hit)))
    failures.push('failed-crossfade mark ' + name(mark) + ' ' + fmt(onPage(box)) + ' is covered at its centre (' +
      Math.round((x + window.scrollX) * 10) / 10 + ',' + Math.round((y + window.scrollY) * 10) / 10 + ') by ' +
      (hit ? name(hit) + (hit.parentElement ? ' in ' + name(hit.parentElement) : '') : 'nothing (off the page)'));
}
window.scrollTo(0, 0);

// 5. As many edit rows and plan lanes as the job has.
const sections = document.querySelectorAll('section.edit').length;
if (sections !== rows) failures.push(sections + ' edit rows (section.edit), expected ' + rows);
const laneCount = document.querySelectorAll('svg.plan g.lane').length;
if (laneCount !== lanes) failures.push(laneCount + ' plan lanes (svg.plan g.lane), expected ' + lanes);
const laneMarks = document.querySelectorAll('svg.plan g.lane :is(' + marks + ')').length;
if (failedMarks !== null && laneMarks < failedMarks)
  failures.push(laneMarks + ' failed-crossfade marks (' + marks + ') in the plan\'s lanes, expected at least ' +
    failedMarks);
return failures;
'''


def missing(what):
    """Skips (77), or fails on a CI machine, when the browser or Selenium is missing."""
    if os.environ.get('CI') == 'true':
        print(f'the browser is missing: {what} (scripts/deps.sh installs it)')
        sys.exit(1)
    print(f'skipped: {what} (scripts/deps.sh installs it)')
    sys.exit(77)


def start_browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', '--user-data-dir=' + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def set_viewport(driver, width):
    """Sizes the window so that the page's viewport (window.innerWidth) is `width` px."""
    outer = width
    for _ in range(4):
        driver.set_window_size(outer, WINDOW_HEIGHT)
        inner = driver.execute_script('return window.innerWidth')
        if inner == width:
            return
        outer += width - inner
    raise RuntimeError(f'cannot make the viewport {width} px wide: it stays {inner} px')


def main(argv):
    shots = failed_marks = None
    while argv[:1] in (['--screenshots'], ['--failed-marks']) and len(argv) > 1:
        if argv[0] == '--screenshots':
            shots = argv[1]
        else:
            failed_marks = int(argv[1])
        argv = argv[2:]
    if len(argv) < 3:
        print(USAGE)
        return 2
    report, rows, lanes = os.path.abspath(argv[0]), int(argv[1]), int(argv[2])
    widths = [int(w) for w in argv[3:]] or [800, 1280, 2560]
    if not os.path.isfile(report):
        print(f'no report {report}')
        return 2

    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            missing(f'no {path}')
    try:
        import selenium  # noqa: F401
    except ImportError:
        # Debian's python3-selenium serves Debian's python; another python3 first on the
        # PATH does not see it.
        if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON) and os.access(DEBIAN_PYTHON, os.X_OK):
            os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON, os.path.abspath(__file__)] + sys.argv[1:])
        missing('python cannot import selenium')

    profile = tempfile.mkdtemp(prefix='report-layout-')
    driver = None
    failed = 0
    try:
        try:
            driver = start_browser(profile)
        except Exception as error:  # the browser is there but does not start: a fault
            print(f'Chromium does not start: {str(error).strip().splitlines()[0] if str(error).strip() else error!r}')
            return 1
        driver.get(pathlib.Path(report).as_uri())
        for width in widths:
            set_viewport(driver, width)
            for line in driver.execute_script(GEOMETRY, [width, rows, lanes, failed_marks],
                                              [TEXT_TOLERANCE, WIDTH_TOLERANCE, MARK_WIDTH, MARKS]):
                print(f'{width} px: {line}')
                failed += 1
            if shots:
                save_page(driver, os.path.join(shots, f'report-{width}.png'))
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    print(f'{os.path.basename(report)} at {", ".join(map(str, widths))} px: '
          + (f'{failed} failed check{"s" if failed != 1 else ""}' if failed else 'every check passed'))
    return 1 if failed else 0


def save_page(driver, path):
    """The whole page as a PNG, at the viewport's width."""
    import base64
    size = driver.execute_script('return [document.documentElement.scrollWidth, document.documentElement.scrollHeight]')
    shot = driver.execute_cdp_cmd('Page.captureScreenshot', {
        'format': 'png', 'captureBeyondViewport': True,
        'clip': {'x': 0, 'y': 0, 'width': size[0], 'height': size[1], 'scale': 1}})
    with open(path, 'wb') as out:
        out.write(base64.b64decode(shot['data']))


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
