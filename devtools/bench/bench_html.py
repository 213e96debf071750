#!/usr/bin/env python3
"""kestrel-attrs html benchmark: the page of the large image at each scale (kestrel-mkimage),
made offline, its size, and in headless chromium (Selenium, chromium-driver) the time from the
start of the navigation until the page is ready and until its first search is answered (the
search typed into the box as soon as the page is ready, the time taken when the browser has laid
out and painted the result). Best of --runs runs, the scales taking turns.

    python3 bench_html.py BUILD_DIR [--scales 1,4] [--runs 5] [--query TEXT]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# The first search: typed as a user would, one input event for the whole text.
SEARCH = '''
var done = arguments[arguments.length - 1];
var search = document.querySelector('input[type=search]');
var ready = performance.getEntriesByName('kestrel-ready')[0].startTime;
var start = performance.now();
search.value = arguments[0];
search.dispatchEvent(new Event('input', {bubbles: true}));
var status = document.getElementById('k-status').textContent;
requestAnimationFrame(function () {
  setTimeout(function () { done([ready, start, performance.now(), status]); }, 0);
});
'''


def find_program(build, name):
    for root, _, files in os.walk(build):
        if name in files and os.access(os.path.join(root, name), os.X_OK):
            return os.path.join(root, name)
    sys.exit('bench-html: the build %s has no %s' % (build, name))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('build')
    parser.add_argument('--scales', default='1,4')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--query', default='setting 1.2')
    args = parser.parse_args()
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    mkimage = find_program(args.build, 'kestrel-mkimage')
    attrs = find_program(args.build, 'kestrel-attrs')
    work = tempfile.mkdtemp(prefix='kestrel-bench-html-')
    env = dict(os.environ, KESTREL_SYSFS_FIRMWARE=os.path.join(work, 'no-firmware'))
    pages = {}
    try:
        for scale in [int(s) for s in args.scales.split(',')]:
            image = os.path.join(work, 'scale-%d' % scale)
            subprocess.run([mkimage, '--scale', str(scale), image], check=True, stdout=subprocess.DEVNULL, env=env)
            page = os.path.join(work, 'scale-%d.html' % scale)
            start = time.monotonic()
            subprocess.run([attrs, 'html', '--hii', image + '/hii.bin', '--vars', image + '/vars', '-o', page],
                           check=True, env=env)
            pages[scale] = {'path': page, 'make': time.monotonic() - start, 'size': os.path.getsize(page), 'runs': []}

        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
                         '--disable-background-networking', '--disable-component-update', '--disable-sync',
                         '--disable-extensions', '--window-size=1280,900', '--user-data-dir=' + work + '/profile'):
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service(shutil.which('chromedriver') or '/usr/bin/chromedriver',
                                                  log_path=os.devnull), options=options)
        driver.set_script_timeout(120)
        driver.set_page_load_timeout(300)
        try:
            for _ in range(args.runs):
                for scale, page in pages.items():
                    driver.get('about:blank')
                    driver.get('file://' + page['path'])
                    ready, start, answered, status = driver.execute_async_script(SEARCH, args.query)
                    if not status:
                        sys.exit('bench-html: the search "%s" was not answered' % args.query)
                    page['runs'].append((ready / 1000, (answered - start) / 1000, (ready + answered - start) / 1000))
                    page['status'] = status
        finally:
            driver.quit()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print('| scale | page | made in | ready | first search | answered after | search "%s" |' % args.query)
    print('|---|---|---|---|---|---|---|')
    best = {}
    for scale, page in pages.items():
        ready = min(r[0] for r in page['runs'])
        search = min(r[1] for r in page['runs'])
        total = min(r[2] for r in page['runs'])
        best[scale] = total
        print('| %d | %.2f MB | %.2f s | %.3f s | %.3f s | %.3f s | %s |' % (
            scale, page['size'] / 1e6, page['make'], ready, search, total, page['status']))
    if 1 in best:
        for scale in best:
            if scale != 1:
                print('%dx/1x: %.2f' % (scale, best[scale] / best[1]))
    return 0


if __name__ == '__main__':
    sys.exit(main())
