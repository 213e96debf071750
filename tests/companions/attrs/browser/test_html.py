#!/usr/bin/env python3
"""kestrel-attrs html in a real browser: Debian's chromium, headless, driven by Selenium through
chromium-driver. Three emulated machines (kestrel-fwemu on copies of the demo image); the pages are
made live from their firmware and opened from files, and the page may not request anything.

    python3 test_html.py BUILD_DIR [unittest options]

Exits 77 (skipped) only when chromium or chromedriver is not installed. With
KESTREL_SCREENSHOTS=DIR it saves the README's screenshots of both pages there.
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))))
sys.path.insert(0, os.path.join(REPO, 'tests', 'ansible'))
from fleet import Fleet, find_program  # noqa: E402  (the emulated hosts of the playbook tests)

CHROMIUM = shutil.which('chromium') or '/usr/bin/chromium'
CHROMEDRIVER = shutil.which('chromedriver') or '/usr/bin/chromedriver'
BUILD = None
fleet = None
browser = None
workdir = None
registry = None  # the demo firmware's registry, as kestrel-attrs writes it


def value_text(value):
    """What data-value holds for a registry value."""
    if value is None:
        return ''
    if isinstance(value, bool):
        return 'true' if value else 'false'
    return str(value)


def attrs(host, *args):
    status, out, err = fleet.tool(host, 'kestrel-attrs', *args)
    if status != 0:
        raise AssertionError('kestrel-attrs %s on %s: status %d: %s' % (' '.join(args), host.name, status, err))
    return out


def make_page(host, name, *args):
    path = os.path.join(workdir, name)
    attrs(host, 'html', *args, '-o', path)
    return path


def open_page(path, fragment=''):
    browser.get('file://' + path + fragment)
    browser.execute_script('return document.documentElement.dataset.ready')
    assert browser.execute_script('return document.documentElement.dataset.ready') == 'true', 'the page script failed'


def shown(selector):
    """The data-attribute of every element matching `selector` that the page shows."""
    return browser.execute_script(
        'return Array.from(document.querySelectorAll(arguments[0]))'
        '.filter(function (e) { return e.getClientRects().length > 0; })'
        '.map(function (e) { return e.dataset.attribute; });', selector)


def setUpModule():
    global fleet, browser, workdir, registry
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    workdir = tempfile.mkdtemp(prefix='kestrel-html-test-')
    fleet = Fleet(BUILD, [('rack7-node1', ''), ('rack7-node2', ''), ('rack7-node3', '')])
    fleet.__enter__()
    registry = json.loads(attrs(fleet.hosts[0], 'registry'))['RegistryEntries']
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update', '--disable-sync',
                     '--disable-default-apps', '--disable-extensions', '--window-size=1280,900',
                     '--user-data-dir=' + os.path.join(workdir, 'profile')):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.devnull), options=options)


def tearDownModule():
    if browser is not None:
        browser.quit()
    if fleet is not None:
        fleet.__exit__(None, None, None)
    if workdir is not None:
        shutil.rmtree(workdir, ignore_errors=True)


def check_against_registry(test, entries):
    """The page shows one element per attribute of the registry `entries`, with its current value,
    its marks and the menus holding it, and one element per menu."""
    elements = browser.execute_script(
        'return Array.from(document.querySelectorAll("[data-attribute]")).map(function (e) {'
        '  var menus = [];'
        '  for (var m = e.parentElement.closest("[data-menu]"); m; m = m.parentElement.closest("[data-menu]"))'
        '    menus.unshift(m.dataset.menu);'
        '  return [e.dataset.attribute, e.dataset.value, e.dataset.changed || "", e.dataset.hidden || "",'
        '          e.dataset.grayout || "", "./" + menus.join("/")]; });')
    expected = []
    for a in entries['Attributes']:
        changed = a['DefaultValue'] is not None and a['CurrentValue'] != a['DefaultValue']
        expected.append([a['AttributeName'], value_text(a['CurrentValue']), 'true' if changed else '',
                         'true' if a['Hidden'] else '', 'true' if a['GrayOut'] else '', a['MenuPath']])
    test.assertEqual(sorted(elements), sorted(expected))
    menus = browser.execute_script('return Array.from(document.querySelectorAll("[data-menu]")).map(function (e) {'
                                   '  return [e.dataset.menu, e.dataset.hidden || "", e.dataset.grayout || ""]; });')
    test.assertEqual(sorted(menus), sorted([m['MenuName'], 'true' if m['Hidden'] else '', 'true' if m['GrayOut'] else '']
                                           for m in entries['Menus']))


class SetupPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.page = make_page(fleet.hosts[0], 'node1.html')

    def setUp(self):
        open_page(self.page)

    def test_one_element_per_attribute_with_the_registry_values(self):
        check_against_registry(self, registry)
        self.assertEqual(len(browser.find_elements('css selector', 'input[type=search]')), 1)
        # Self-contained: nothing was fetched, not even from the file system.
        self.assertEqual(browser.execute_script('return performance.getEntriesByType("resource").length'), 0)

    def test_real_firmware_captures(self):
        captures = sorted(glob.glob(os.path.join(REPO, 'tests', 'data', 'real-hii', '*.bin')))
        self.assertTrue(captures)
        mkimage = find_program(BUILD, 'kestrel-mkimage')
        for capture in captures:
            name = os.path.basename(capture)[:-4]
            with self.subTest(name):
                image = os.path.join(workdir, name)
                subprocess.run([mkimage, '--capture', capture, image], check=True, stdout=subprocess.DEVNULL)
                offline = ['--hii', os.path.join(image, 'hii.bin'), '--vars', os.path.join(image, 'vars')]
                captured = json.loads(attrs(fleet.hosts[0], 'registry', *offline))['RegistryEntries']
                open_page(make_page(fleet.hosts[0], name + '.html', *offline))
                check_against_registry(self, captured)

    def test_search_leaves_exactly_the_matches_visible(self):
        advanced = next(a['AttributeName'] for a in registry['Attributes'] if a['MenuPath'] == './Advanced')
        for menu in ('Main', 'Advanced'):  # Main holds no match: it folds away while searching
            browser.find_element('css selector', '[data-menu="%s"] > .label' % menu).click()
        self.assertLessEqual({advanced, 'MAIN001'}, set(shown('[data-attribute]')))
        search = browser.find_element('css selector', 'input[type=search]')
        search.send_keys('hyper')
        expected = set()
        for a in registry['Attributes']:
            words = [a['AttributeName'], a['DisplayName'], value_text(a['CurrentValue'])]
            words += [v['ValueDisplayName'] for v in a.get('Value', []) if v['ValueName'] == a['CurrentValue']]
            if not a['Hidden'] and any('hyper' in w.lower() for w in words):
                expected.add(a['AttributeName'])
        self.assertTrue(expected)
        self.assertEqual(set(shown('[data-attribute]')), expected)
        # From the search into the results with the keyboard.
        search.send_keys('\ue015')  # ArrowDown
        self.assertIn(browser.switch_to.active_element.get_attribute('data-attribute'), expected)
        search.click()
        search.send_keys('\ue00c')  # Escape: the search is cleared and the menus open before are again
        self.assertLessEqual({advanced, 'MAIN001'}, set(shown('[data-attribute]')))
        self.assertNotIn('SVC001', shown('[data-attribute]'))

    def test_permalink_opens_the_menu(self):
        # A setting two menus deep, and a hidden one (shown for the link).
        deep = next(a for a in registry['Attributes'] if a['MenuPath'].count('/') == 3 and not a['Hidden'])
        hidden = next(a for a in registry['Attributes'] if a['Hidden'])
        for a in (deep, hidden):
            with self.subTest(a['AttributeName']):
                open_page(self.page, '#' + a['AttributeName'])
                self.assertEqual(shown('[data-attribute="%s"]' % a['AttributeName']), [a['AttributeName']])
                menus = browser.execute_script(
                    'var out = [];'
                    'for (var m = document.querySelector(arguments[0]).closest("[data-menu]"); m;'
                    '     m = m.parentElement.closest("[data-menu]")) out.push(m.getAttribute("aria-expanded"));'
                    'return out;', '[data-attribute="%s"]' % a['AttributeName'])
                self.assertEqual(menus, ['true'] * a['MenuPath'].count('/'))
                self.assertEqual(browser.switch_to.active_element.get_attribute('data-attribute'), a['AttributeName'])

    def test_screenshot(self):
        target = os.environ.get('KESTREL_SCREENSHOTS')
        if not target:
            self.skipTest('KESTREL_SCREENSHOTS is not set')
        open_page(self.page, '#PROC001')
        browser.find_element('css selector', '[data-attribute="PROC001"]').send_keys('\ue007')  # Enter: its help
        browser.execute_script('window.scrollTo(0, 0)')
        browser.save_screenshot(os.path.join(target, 'html-setup.png'))


class ChangedAndCompared(unittest.TestCase):
    """Two machines get settings changed through set; the first keeps the demo's values."""
    changes = {'rack7-node2': {'PROC001': 'Disabled'}, 'rack7-node3': {'MAIN002': '20', 'SATA001': 'Disabled'}}

    @classmethod
    def setUpClass(cls):
        for host in fleet.hosts:
            pairs = ['%s=%s' % item for item in cls.changes.get(host.name, {}).items()]
            if pairs:
                attrs(host, 'set', *pairs)
        cls.documents = []
        for host in fleet.hosts:
            path = os.path.join(workdir, host.name + '.json')
            attrs(host, 'get', '-o', path)
            cls.documents.append(path)

    def test_a_set_setting_is_marked_changed_in_a_fresh_page(self):
        defaults = {a['AttributeName']: a['DefaultValue'] for a in registry['Attributes']}
        self.assertEqual(defaults['PROC001'], 'Enabled')
        for index, changed in ((0, None), (1, 'true')):
            host = fleet.hosts[index]
            with self.subTest(host.name):
                open_page(make_page(host, host.name + '-after.html'))
                element = browser.find_element('css selector', '[data-attribute="PROC001"]')
                self.assertEqual(element.get_attribute('data-changed'), changed)
                self.assertEqual(element.get_attribute('data-value'), 'Disabled' if changed else 'Enabled')

    def test_compare_marks_exactly_the_changed_cells(self):
        page = make_page(fleet.hosts[0], 'compare.html', '--compare', *self.documents)
        open_page(page)
        marked = browser.execute_script(
            'return Array.from(document.querySelectorAll("td[data-differs=true]"))'
            '.map(function (e) { return [e.dataset.machine, e.dataset.attribute, e.dataset.value]; });')
        # The first machine holds the majority value of every attribute; the cells that differ from it are
        # those of the settings set (and of any setting sharing their storage: PROC001's
        # variable bytes also hold PWR001).
        documents = []
        for path in self.documents:
            with open(path) as handle:
                documents.append(json.load(handle)['Attributes'])
        expected = [[host.name, name, value_text(value)] for host, document in zip(fleet.hosts[1:], documents[1:])
                    for name, value in document.items() if value != documents[0][name]]
        self.assertEqual(sorted(marked), sorted(expected))
        self.assertLessEqual({(h, n, v) for h, values in self.changes.items() for n, v in values.items()},
                             {tuple(m) for m in marked})
        counts = browser.execute_script(
            'return Array.from(document.querySelectorAll("th[data-machine]"))'
            '.map(function (e) { return [e.dataset.machine, e.dataset.differing]; });')
        self.assertEqual(counts, [[host.name, str(sum(m[0] == host.name for m in expected))] for host in fleet.hosts])
        rows = browser.find_elements('css selector', 'tbody tr[data-attribute]')
        self.assertEqual(sorted(r.get_attribute('data-attribute') for r in rows), sorted(m[1] for m in expected))
        # A row's link opens the setting's menu.
        browser.find_element('css selector', 'tr[data-attribute="SATA001"] a').click()
        self.assertEqual(shown('li[data-attribute="SATA001"]'), ['SATA001'])
        target = os.environ.get('KESTREL_SCREENSHOTS')
        if target:
            browser.execute_script('window.scrollTo(0, 0)')
            browser.save_screenshot(os.path.join(target, 'html-compare.png'))


def main():
    global BUILD
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv.pop(1))
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    if missing:
        print('browser tests skipped: %s not installed (scripts/install-deps.sh installs chromium and '
              'chromium-driver)' % ' and '.join(missing))
        sys.exit(77)
    unittest.main(verbosity=2)


if __name__ == '__main__':
    main()
