#!/usr/bin/env python3
"""Opens an HTML report in headless Chromium at each window width and checks, from the
page's own geometry, that a person can read it: no sideways scrolling (the plan fits, the
legend wraps), no text on other text or on a waveform of its panel, three waveforms a panel,
failed-crossfade marks at least 3 px wide and on top, the edit rows and plan lanes expected
and, with --failed-marks N, at least N failed-crossfade marks in the lanes (a job made to
fail crossfades must not pass for want of marks). Prints a line per failed check; exits 0
when all pass, 1 when one fails, 2 on a wrong command line, 77 when Chromium, its driver or
Selenium is missing (1 then too when CI is "true": a CI machine must have them).
"""
import argparse
import os
import pathlib
import sys
import tempfile

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
DEBIAN_PYTHON = '/usr/bin/python3'  # python3-selenium installs for this interpreter

# Runs in the page at one width; returns a line per failure. arguments: the viewport's
# width, the expected edit rows, lanes and least failed-crossfade marks in the lanes.
GEOMETRY = r'''
const [width, rows, lanes, failedMarks] = arguments;
const TOUCHING = 0.5;  // px of overlap, both ways, that still counts as touching
const failures = [], doc = document.documentElement;
const rect = (left, top, right, bottom) => ({left, top, right, bottom, width: right - left, height: bottom - top});
const cut = (a, b) =>
  rect(Math.max(a.left, b.left), Math.max(a.top, b.top), Math.min(a.right, b.right), Math.min(a.bottom, b.bottom));
const overlap = (a, b) => cut(a, b).width > TOUCHING && cut(a, b).height > TOUCHING;
const fmt = r => '[' + [r.left, r.top, r.width, r.height].map(Math.round).join(',') + ']';
const shown = el => el.checkVisibility({opacityProperty: true, visibilityProperty: true});
// An element as a reader finds it: its edit row (if in one), its tag and its classes.
const name = el => (el.closest('section.edit') ? el.closest('section.edit').id + ' ' : '') + el.tagName + '.' +
  (el.getAttribute('class') || '').trim().replace(/\s+/g, '.');
// The screen box of an SVG element, less what the viewports of the SVGs around it cut away.
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
const glyphs = el => {
  const box = visibleBox(el), ctm = el.getScreenCTM();
  if (!ctm || el.getNumberOfChars() === 0 || ctm.b !== 0 || ctm.c !== 0) return box;
  const style = getComputedStyle(el);
  ruler.font = style.fontStyle + ' ' + style.fontWeight + ' ' + style.fontSize + ' ' + style.fontFamily;
  const m = ruler.measureText(el.textContent), start = el.getStartPositionOfChar(0);
  const baseline = new DOMPoint(start.x, start.y).matrixTransform(ctm).y, scale = Math.abs(ctm.d);
  return cut(box, rect(box.left, baseline - m.actualBoundingBoxAscent * scale, box.right,
                       baseline + m.actualBoundingBoxDescent * scale));
};

// 0. The window is as wide as asked: a check at the wrong width would say nothing.
if (window.innerWidth !== width) failures.push('the viewport is ' + window.innerWidth + ' px wide, not ' + width);

// 1. No sideways scrolling: the room is the viewport less a vertical scroll bar, if one
// takes up space. The outermost elements that reach past it are named as the cause.
if (doc.scrollWidth > doc.clientWidth + 1) {
  const past = Array.from(document.body.querySelectorAll('*'))
    .filter(el => el.getBoundingClientRect().right > doc.clientWidth + 1);
  failures.push('the page scrolls sideways: ' + doc.scrollWidth + ' px wide in ' + doc.clientWidth + ' px; past the edge: ' +
    past.filter(el => !past.includes(el.parentElement)).slice(0, 5)
      .map(el => name(el) + ' ' + fmt(el.getBoundingClientRect())).join(', '));
}

// 2. Text on text: each SVG text against the others of its SVG, each line of HTML text
// against the lines of the other text nodes.
const texts = new Map();  // an SVG (or the document, for HTML): its texts, {el, node, box}
const add = (group, t) => {
  if (t.box.width > 0 && t.box.height > 0) (texts.get(group) || texts.set(group, []).get(group)).push(t);
};
for (const el of document.querySelectorAll('svg text'))
  if (shown(el) && el.textContent.trim() !== '') add(el.ownerSVGElement, {el, node: el, box: glyphs(el)});
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let node; (node = walker.nextNode());) {
  const el = node.parentElement, range = document.createRange();
  if (node.data.trim() === '' || el.closest('svg') || !shown(el)) continue;
  range.selectNodeContents(node);
  for (const box of range.getClientRects()) add(document, {el, node, box});
}
const describe = t => name(t.el) + ' ' + JSON.stringify(t.node.textContent.trim().slice(0, 40)) + ' ' + fmt(t.box);
for (const group of texts.values())
  for (let i = 0; i < group.length; i++)
    for (let j = i + 1; j < group.length; j++)
      if (group[i].node !== group[j].node && overlap(group[i].box, group[j].box))
        failures.push('text on text: ' + describe(group[i]) + ' and ' + describe(group[j]));

// 3. Three waveforms a panel, and no text of the panel on a waveform's box.
for (const panel of document.querySelectorAll('svg.panel')) {
  const traces = Array.from(panel.querySelectorAll('path.w'));
  if (traces.length !== 3) failures.push(name(panel) + ' holds ' + traces.length + ' waveforms (path.w), not 3');
  for (const trace of traces.filter(shown))
    for (const t of (texts.get(panel) || []).filter(t => overlap(t.box, visibleBox(trace))))
      failures.push('text on a waveform: ' + describe(t) + ' and ' + name(trace.parentElement) + ' ' +
        fmt(visibleBox(trace)));
}

// 4. Failed-crossfade marks: wide enough to see, and nothing drawn over their centre.
for (const mark of Array.from(document.querySelectorAll('.fail, .xf.bad')).filter(shown)) {
  mark.scrollIntoView({block: 'center', inline: 'center'});
  const box = mark.getBoundingClientRect(), what = 'failed-crossfade mark ' + name(mark) + ' ' + fmt(box);
  const hit = document.elementFromPoint(box.left + box.width / 2, box.top + box.height / 2);
  if (box.width < 3 - 0.01) failures.push(what + ' is under 3 px wide');
  if (!mark.contains(hit)) failures.push(what + ' is covered at its centre by ' + (hit ? name(hit) : 'nothing'));
}
window.scrollTo(0, 0);

// 5. As many edit rows and plan lanes as the job has, and at least the failed-crossfade
// marks in the lanes that it must show.
const count = css => document.querySelectorAll(css).length;
if (count('section.edit') !== rows) failures.push(count('section.edit') + ' edit rows, not ' + rows);
if (count('svg.plan g.lane') !== lanes) failures.push(count('svg.plan g.lane') + ' plan lanes, not ' + lanes);
const marked = count('svg.plan g.lane :is(.fail, .xf.bad)');
if (marked < failedMarks) failures.push(marked + ' failed-crossfade marks in the lanes, fewer than ' + failedMarks);
return failures;
'''


def missing(what):
    """Skips (77), or fails on a CI machine, when the browser or Selenium is missing."""
    on_ci = os.environ.get('CI') == 'true'
    print(f'{"the browser is missing" if on_ci else "skipped"}: {what} (scripts/deps.sh installs it)')
    sys.exit(1 if on_ci else 77)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--failed-marks', type=int, default=0, metavar='N', help='the least failed marks in the lanes')
    parser.add_argument('report', metavar='REPORT', type=pathlib.Path)
    parser.add_argument('rows', metavar='EDIT_ROWS', type=int)
    parser.add_argument('lanes', metavar='LANES', type=int)
    parser.add_argument('widths', metavar='WIDTH', type=int, nargs='*', default=[800, 1280, 2560])
    args = parser.parse_args()
    if not args.report.is_file():
        parser.error(f'no report {args.report}')
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            missing(f'no {path}')
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        # Debian's python3-selenium serves Debian's python; another python3 first on the
        # PATH does not see it.
        if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON) and os.access(DEBIAN_PYTHON, os.X_OK):
            os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON, os.path.abspath(__file__)] + sys.argv[1:])
        missing('python cannot import selenium')
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage'):
        options.add_argument(flag)
    failures = []
    with tempfile.TemporaryDirectory(prefix='report-layout-', ignore_cleanup_errors=True) as profile:
        options.add_argument('--user-data-dir=' + profile)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)  # one that does not start fails (1)
        try:
            driver.get(args.report.resolve().as_uri())
            for width in args.widths:
                # The window, then widened by what its frame takes: the viewport is `width` px (check 0).
                driver.set_window_size(width, 1000)
                driver.set_window_size(2 * width - driver.execute_script('return window.innerWidth'), 1000)
                failures += [f'{width} px: {line}' for line in driver.execute_script(GEOMETRY, width, args.rows,
                                                                                     args.lanes, args.failed_marks)]
        finally:
            driver.quit()
    print('\n'.join(failures + [f'{args.report} at {args.widths} px: {len(failures)} failed checks']))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
