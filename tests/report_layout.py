#!/usr/bin/env python3
"""Opens an HTML report in headless Chromium at several window widths and checks, from
the page's own geometry, that a person can read it: the page does not scroll sideways;
no two pieces of text overlap (SVG text within one SVG, HTML text anywhere) and no SVG
text lies on a waveform of its panel; every failed-crossfade mark (.fail, or .xf.bad) is
at least 3 px wide and on top; every panel holds three waveforms; the report has the
expected numbers of edit rows and plan lanes (and, with --failed-marks N, at least N
failed-crossfade marks in the lanes, so that a job made to fail crossfades does not pass
for want of marks).

Prints a line per failed check; exits 0 when all pass, 1 when one fails, 77 when
Chromium, its driver or Selenium is missing (1 then too when CI is "true": a CI machine
must have them), 2 on a wrong command line.
"""
import argparse
import base64
import os
import pathlib
import shutil
import sys
import tempfile

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
const snippet = s => {
  s = s.replace(/\s+/g, ' ').trim();
  return JSON.stringify(s.length > 40 ? s.slice(0, 37) + '...' : s);
};
const index = (el, all) => Array.from(all).indexOf(el) + 1;
// An element as a reader can find it: its tag, id and classes, and where it sits (edit
// row and panel, or plan lane).
const name = el => {
  const tag = el.tagName.toLowerCase(), css = el.getAttribute('class');
  const s = tag + (el.id ? '#' + el.id : '') + (css ? '.' + css.trim().split(/\s+/).join('.') : '');
  const panel = el.closest('svg.panel'), lane = el.closest('svg.plan g.lane');
  if (panel) {
    const section = panel.closest('section');
    const n = section ? index(panel, section.querySelectorAll('svg.panel')) : 0;
    return (section && section.id ? 'section#' + section.id + ' ' : '') + 'panel ' + n + ' ' + s;
  }
  if (!el.closest('svg.plan') || tag === 'svg') return s;
  return 'svg.plan ' + (lane ? 'lane ' + index(lane, document.querySelectorAll('svg.plan g.lane')) + ' ' : '') + s;
};
const overlap = (a, b, tol) =>
  Math.min(a.right, b.right) - Math.max(a.left, b.left) > tol &&
  Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > tol;
const rect = (left, top, right, bottom) => ({left, top, right, bottom, width: right - left, height: bottom - top});
const cut = (a, b) =>
  rect(Math.max(a.left, b.left), Math.max(a.top, b.top), Math.min(a.right, b.right), Math.min(a.bottom, b.bottom));
const empty = r => !(r.width > 0 && r.height > 0);
const onPage = r => rect(r.left + scrollX, r.top + scrollY, r.right + scrollX, r.bottom + scrollY);
const shown = el => {
  for (let e = el; e && e.nodeType === 1; e = e.parentElement) {
    const style = getComputedStyle(e);
    if (style.display === 'none' || style.visibility !== 'visible' || style.opacity === '0') return false;
  }
  return true;
};
// The screen rectangle of an SVG element, less what the viewports of the SVGs around it
// cut away.
const visibleBox = el => {
  let box = el.getBoundingClientRect();
  for (let svg = el.parentElement.closest('svg'); svg; svg = svg.parentElement.closest('svg'))
    if (getComputedStyle(svg).overflow !== 'visible') box = cut(box, svg.getBoundingClientRect());
  return box;
};
// The box of an SVG text's glyphs, vertically from the highest ascender to the lowest
// descender of its own characters: the element's own box spans the font's whole ascent
// and descent, room that two lines set close together share without touching.
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

// 0. The window is as wide as asked: a check at the wrong width would say nothing.
if (window.innerWidth !== width) failures.push('the viewport is ' + window.innerWidth + ' px wide, not ' + width);

// 1. No sideways scrolling. The room the page has is the viewport less a vertical
// scroll bar, if one takes up space (a page just wider than that scrolls sideways,
// however narrow the bar).
const room = doc.clientWidth;
if (doc.scrollWidth > room + widthTolerance) {
  // The outermost elements that reach past the right edge, as the cause.
  const past = Array.from(document.body.querySelectorAll('*')).filter(el => {
    const r = el.getBoundingClientRect();
    return (el.closest('svg') === el || !el.closest('svg')) && r.width > 0 && r.right + scrollX > room + widthTolerance;
  });
  const outer = past.filter(el => !past.some(p => p !== el && p.contains(el))).slice(0, 5);
  failures.push('the page scrolls sideways: the document is ' + doc.scrollWidth + ' px wide, the viewport ' +
    window.innerWidth + ' px (' + room + ' px beside the scroll bar); reaching past it: ' +
    (outer.map(el => name(el) + ' ' + fmt(el.getBoundingClientRect())).join(', ') || 'nothing found'));
}

// 2. Text on text: each SVG text against the others of its SVG, each line of HTML text
// against the lines of the other text nodes.
const texts = new Map();  // SVG (or the document, for HTML): its texts, {el, node, text, box}
const add = (group, t) => {
  if (!texts.has(group)) texts.set(group, []);
  if (!empty(t.box)) texts.get(group).push(t);
};
for (const el of document.querySelectorAll('svg text'))
  if (shown(el) && el.textContent.trim() !== '')
    add(el.ownerSVGElement, {el, node: el, text: el.textContent, box: glyphs(el, visibleBox(el))});
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let node; (node = walker.nextNode());) {
  const el = node.parentElement;
  if (node.data.trim() === '' || el.closest('svg') || !shown(el)) continue;
  const range = document.createRange();
  range.selectNodeContents(node);
  for (const box of range.getClientRects()) add(document, {el, node, text: node.data, box});
}
const describe = t => name(t.el) + ' ' + snippet(t.text) + ' ' + fmt(t.box);
for (const group of texts.values())
  for (let i = 0; i < group.length; i++)
    for (let j = i + 1; j < group.length; j++)
      if (group[i].node !== group[j].node && overlap(group[i].box, group[j].box, textTolerance))
        failures.push('text on text: ' + describe(group[i]) + ' and ' + describe(group[j]));

// 3. Three waveforms a panel, and no label of the panel on a waveform's box.
for (const panel of document.querySelectorAll('svg.panel')) {
  const traces = Array.from(panel.querySelectorAll('path.w'));
  if (traces.length !== 3) failures.push(name(panel) + ' holds ' + traces.length + ' waveforms (path.w), not 3');
  for (const trace of traces.filter(shown)) {
    const box = visibleBox(trace);
    for (const t of empty(box) ? [] : texts.get(panel) || [])
      if (overlap(t.box, box, textTolerance))
        failures.push('text on a waveform: ' + describe(t) + ' and ' + name(trace) + ' (' +
          (trace.parentElement.getAttribute('class') || '') + ') ' + fmt(box));
  }
}

// 4. Failed-crossfade marks: wide enough to see, and nothing drawn over their centre.
for (const mark of Array.from(document.querySelectorAll(marks)).filter(shown)) {
  mark.scrollIntoView({block: 'center', inline: 'center'});
  const box = mark.getBoundingClientRect();
  const what = 'failed-crossfade mark ' + name(mark) + ' ' + fmt(onPage(box));
  if (box.width < markWidth - 0.01)
    failures.push(what + ' is ' + Math.round(box.width * 100) / 100 + ' px wide, less than ' + markWidth);
  const hit = document.elementFromPoint(box.left + box.width / 2, box.top + box.height / 2);
  if (!hit || !(hit === mark || mark.contains(hit)))
    failures.push(what + ' is covered at its centre by ' +
      (hit ? name(hit) + (hit.parentElement ? ' in ' + name(hit.parentElement) : '') : 'nothing (off the page)'));
}
window.scrollTo(0, 0);

// 5. As many edit rows and plan lanes as the job has, and at least the failed-crossfade
// marks in the lanes that it must show.
const count = (what, css, expected, least) => {
  const n = document.querySelectorAll(css).length;
  if (expected !== null && (least ? n < expected : n !== expected))
    failures.push(n + ' ' + what + ' (' + css + '), expected ' + (least ? 'at least ' : '') + expected);
};
count('edit rows', 'section.edit', rows, false);
count('plan lanes', 'svg.plan g.lane', lanes, false);
count('failed-crossfade marks in the plan\'s lanes', 'svg.plan g.lane :is(' + marks + ')', failedMarks, true);
return failures;
'''


def missing(what):
    """Skips (77), or fails on a CI machine, when the browser or Selenium is missing."""
    on_ci = os.environ.get('CI') == 'true'
    print(f'{"the browser is missing" if on_ci else "skipped"}: {what} (scripts/deps.sh installs it)')
    sys.exit(1 if on_ci else 77)


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


def save_page(driver, path):
    """The whole page as a PNG, at the viewport's width."""
    size = driver.execute_script('return [document.documentElement.scrollWidth, document.documentElement.scrollHeight]')
    shot = driver.execute_cdp_cmd('Page.captureScreenshot', {
        'format': 'png', 'captureBeyondViewport': True,
        'clip': {'x': 0, 'y': 0, 'width': size[0], 'height': size[1], 'scale': 1}})
    with open(path, 'wb') as out:
        out.write(base64.b64decode(shot['data']))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--screenshots', metavar='DIR', help='save the whole page at each width in DIR')
    parser.add_argument('--failed-marks', type=int, metavar='N', help='the failed-crossfade marks the lanes must hold')
    parser.add_argument('report', metavar='REPORT')
    parser.add_argument('rows', type=int, metavar='EDIT_ROWS')
    parser.add_argument('lanes', type=int, metavar='LANES')
    parser.add_argument('widths', type=int, nargs='*', default=[800, 1280, 2560], metavar='WIDTH',
                        help='viewport widths in px (800, 1280 and 2560 unless given)')
    args = parser.parse_args()
    report = os.path.abspath(args.report)
    if not os.path.isfile(report):
        parser.error(f'no report {report}')

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
        driver = start_browser(profile)  # a browser that is there but does not start fails (1)
        driver.get(pathlib.Path(report).as_uri())
        for width in args.widths:
            set_viewport(driver, width)
            for line in driver.execute_script(GEOMETRY, [width, args.rows, args.lanes, args.failed_marks],
                                              [TEXT_TOLERANCE, WIDTH_TOLERANCE, MARK_WIDTH, MARKS]):
                print(f'{width} px: {line}')
                failed += 1
            if args.screenshots:
                save_page(driver, os.path.join(args.screenshots, f'report-{width}.png'))
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    print(f'{os.path.basename(report)} at {", ".join(map(str, args.widths))} px: '
          + (f'{failed} failed check{"s" if failed != 1 else ""}' if failed else 'every check passed'))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
