// The HTML view of kestrel-attrs: builds the Setup's menus as a tree and the drift table of a
// compare page from the JSON in #kestrel-data (written by companions/attrs/html.cpp and
// compare.cpp, which describe its arrays), and runs the search, the filters, the keyboard and the
// permalinks.
// Plain script, no network: everything the page shows is in the page.
(function () {
  'use strict';

  var HIDDEN = 1, GRAYOUT = 2, READONLY = 4, CHANGED = 8, RESET = 16;
  var data = JSON.parse(document.getElementById('kestrel-data').textContent);
  var setup = data.setup || null;
  var compare = data.compare || null;
  var main = document.getElementById('k-main');
  var search = document.getElementById('k-search');
  var showHidden = document.getElementById('k-show-hidden');
  var changedOnly = document.getElementById('k-changed-only');
  var status = document.getElementById('k-status');

  var ESCAPES = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };
  var SPECIAL = /[&<>"']/;
  function esc(text) {
    text = String(text);
    return SPECIAL.test(text) ? text.replace(/[&<>"']/g, function (c) { return ESCAPES[c]; }) : text;
  }
  function plural(n, one, many) { return n + ' ' + (n === 1 ? one : many); }
  function number(n) { return n.toLocaleString('en-US'); }

  // ---- The Setup: menus and attributes ------------------------------------------------------
  var menus = setup ? setup.menus : [];
  var attrs = setup ? setup.attrs : [];
  var choices = setup ? setup.choices : [];
  var menuAttrs = menus.map(function () { return []; });
  var menuKids = menus.map(function () { return []; });
  var topMenus = [], looseAttrs = [];
  var parentOf = new Int32Array(menus.length);
  menus.forEach(function (m, i) {
    var p = m[2];
    parentOf[i] = p >= 0 && p < menus.length ? p : -1;
    if (parentOf[i] >= 0) menuKids[p].push(i); else topMenus.push(i);
  });
  // Submenus by the place of their REF among the parent's settings, then in walk order.
  menuKids.forEach(function (kids) {
    kids.sort(function (x, y) { return menus[x][3] - menus[y][3] || x - y; });
  });
  attrs.forEach(function (a, i) {
    if (a[2] >= 0 && a[2] < menus.length) menuAttrs[a[2]].push(i); else looseAttrs.push(i);
  });
  var byName = Object.create(null);
  attrs.forEach(function (a, i) { byName[a[0]] = i; });
  // Settings under each menu, its submenus' included.
  var menuTotal = new Int32Array(menus.length);
  (function () {
    var order = [];
    var stack = topMenus.slice();
    while (stack.length) { var m = stack.pop(); order.push(m); Array.prototype.push.apply(stack, menuKids[m]); }
    for (var i = order.length - 1; i >= 0; --i) {
      var n = order[i];
      menuTotal[n] += menuAttrs[n].length;
      if (parentOf[n] >= 0) menuTotal[parentOf[n]] += menuTotal[n];
    }
  })();

  function optionText(a, value) {
    var list = a[8].c !== undefined ? choices[a[8].c] : null;
    if (!list || value === null) return null;
    for (var i = 0; i < list.length; ++i) if (list[i][0] === value) return list[i][1];
    return null;
  }
  // A value as shown: an option's display text (with its name where they differ), else the text.
  function valueHtml(a, value) {
    if (value === null) return '<span class="none">' + (a[3] === 'P' ? 'not shown' : 'none') + '</span>';
    var shown = a[3] === 'E' ? optionText(a, value) : null;
    if (shown !== null && shown !== value) {
      var made = shown.replace(/[^A-Za-z0-9]+/g, '_').replace(/^_+|_+$/g, '');
      return esc(shown) + (made === value ? '' : ' <code class="vname">' + esc(value) + '</code>');
    }
    return esc(value === '' ? '""' : value);
  }
  function allowedText(a, full) {
    var x = a[8];
    if (a[3] === 'P') return 'a password; never shown';
    if (a[3] === 'B') return 'true or false';
    if (x.c !== undefined) {
      var list = choices[x.c], shown = full ? list.length : Math.min(list.length, 6);
      var names = [];
      for (var i = 0; i < shown; ++i) names.push(list[i][1] || list[i][0]);
      var more = list.length > shown ? ' and ' + (list.length - shown) + ' more' : '';
      return (a[3] === 'S' ? 'in an order of: ' : '') + names.join(' · ') + more;
    }
    if (x.lo !== undefined || x.hi !== undefined) {
      return (x.lo !== undefined ? x.lo : '') + ' to ' + (x.hi !== undefined ? x.hi : '') +
        (x.st !== undefined && x.st !== '1' && x.st !== '0' ? ', step ' + x.st : '');
    }
    if (x.fx !== undefined) return x.fx;
    if (x.mn !== undefined || x.mx !== undefined) return (x.mn || 0) + ' to ' + (x.mx || 0) + ' characters';
    return '';
  }
  function flagWords(f) {
    var words = [];
    if (f & CHANGED) words.push('changed');
    if (f & HIDDEN) words.push('hidden');
    if (f & GRAYOUT) words.push('grayed out');
    if (f & READONLY && !(f & GRAYOUT)) words.push('read-only');
    if (f & RESET) words.push('needs a reset');
    return words;
  }
  function badges(f) {
    return flagWords(f).map(function (w) {
      return '<span class="badge b-' + w.replace(/[^a-z]+/g, '-') + '">' + w + '</span>';
    }).join('');
  }
  function menuPath(m) {
    var names = [];
    for (; m >= 0; m = parentOf[m]) names.unshift(menus[m][1] || menus[m][0]);
    return names.join(' › ');
  }

  // The markup stays lean: a large Setup has tens of thousands of settings, all made at once.
  // Tree items are focusable only while they are the current one (roving tabindex).
  var renderOrder = [], menuOrder = [];
  function renderSetting(i, out) {
    var a = attrs[i], f = a[6], current = a[4], def = a[5];
    renderOrder.push(i);
    out.push('<li role="treeitem" class="s" data-attribute="', esc(a[0]), '" data-value="',
      esc(current === null ? '' : current), f & CHANGED ? '" data-changed="true' : '',
      f & HIDDEN ? '" data-hidden="true' : '', f & GRAYOUT ? '" data-grayout="true' : '',
      '"><span class="n">', esc(a[1] || a[0]), ' <code>', esc(a[0]), '</code></span><span class="v">',
      valueHtml(a, current), '</span><span class="d">', def === null ? '<span class="none">none</span>' : valueHtml(a, def),
      '</span><span class="a">', esc(allowedText(a, false)), '</span>', f ? '<span class="b">' + badges(f) + '</span>' : '',
      '</li>');
  }
  function renderMenu(m, out) {
    var menu = menus[m], f = menu[4];
    menuOrder.push(m);
    // Named by its title and count: a tree item's name would otherwise be every text below it.
    out.push('<li role="treeitem" class="m" aria-expanded="false" aria-label="', esc(menu[1] || menu[0]), ', ',
      plural(menuTotal[m], 'setting', 'settings'), '" data-menu="', esc(menu[0]),
      f & HIDDEN ? '" data-hidden="true' : '', f & GRAYOUT ? '" data-grayout="true' : '',
      '"><div class="label"><span class="twisty" aria-hidden="true"></span><span class="mname">', esc(menu[1] || menu[0]),
      '</span> <span class="mcount">', number(menuTotal[m]), menuTotal[m] === 1 ? ' setting' : ' settings', '</span>',
      badges(f & (HIDDEN | GRAYOUT)), '</div><ul role="group">');
    var own = menuAttrs[m], kids = menuKids[m], k = 0;
    for (var j = 0; j <= own.length; ++j) {
      while (k < kids.length && (menus[kids[k]][3] <= j || j === own.length)) renderMenu(kids[k++], out);
      if (j < own.length) renderSetting(own[j], out);
    }
    out.push('</ul></li>');
  }

  var tree = null, settingNodes = [], menuNodes = [], menuByName = Object.create(null);
  function buildTree(into, heading) {
    var section = document.createElement('section');
    section.className = 'k-menus';
    section.setAttribute('aria-labelledby', 'k-menus-title');
    var out = ['<h2 id="k-menus-title">', esc(heading), '</h2>',
      '<ul role="tree" id="k-tree" class="tree" aria-labelledby="k-menus-title">'];
    topMenus.forEach(function (m) { renderMenu(m, out); });
    looseAttrs.forEach(function (i) { renderSetting(i, out); });
    out.push('</ul>');
    section.innerHTML = out.join('');
    into.appendChild(section);
    tree = document.getElementById('k-tree');
    settingNodes = new Array(attrs.length);
    menuNodes = new Array(menus.length);
    var nodes = tree.getElementsByClassName('s');
    for (var k = 0; k < nodes.length; ++k) {
      settingNodes[renderOrder[k]] = nodes[k];
      nodes[k].kIndex = renderOrder[k];
    }
    nodes = tree.getElementsByClassName('m');
    for (k = 0; k < nodes.length; ++k) {
      menuNodes[menuOrder[k]] = nodes[k];
      nodes[k].kIndex = menuOrder[k];
      menuByName[menus[menuOrder[k]][0]] = menuOrder[k];
    }
    var first = tree.firstElementChild;
    if (first) first.tabIndex = 0;
    current = first;
  }

  // ---- The drift table ----------------------------------------------------------------------
  var driftRows = [];
  function buildDrift(into) {
    var machines = compare.machines, rows = compare.rows;
    var section = document.createElement('section');
    section.className = 'k-drift';
    section.setAttribute('aria-labelledby', 'k-drift-title');
    var out = ['<h2 id="k-drift-title">Differences between ', plural(machines.length, 'machine', 'machines'), '</h2>',
      '<p class="k-drift-summary">', rows.length === 0 ? 'Every attribute has the same value on every machine.' :
        plural(rows.length, 'attribute differs', 'attributes differ') + ' of ' + number(compare.attributes) +
        '. Each row shows the value most machines hold; the cells that differ from it are marked.',
      '</p><ul class="k-machines">'];
    machines.forEach(function (m) {
      out.push('<li data-machine="', esc(m[0]), '" data-differing="', m[1], '"><strong>', esc(m[0]), '</strong>: ',
        plural(m[1], 'attribute differs', 'attributes differ'), '</li>');
    });
    out.push('</ul>');
    if (rows.length) {
      out.push('<div class="k-table"><table id="k-drift" class="drift"><thead><tr><th scope="col">Setting</th>',
        '<th scope="col">Majority</th>');
      machines.forEach(function (m) {
        out.push('<th scope="col" data-machine="', esc(m[0]), '" data-differing="', m[1], '">', esc(m[0]),
          '<span class="dcount">', plural(m[1], 'difference', 'differences'), '</span></th>');
      });
      out.push('</tr></thead><tbody>');
      rows.forEach(function (r) { renderDriftRow(r, machines, out); });
      out.push('</tbody></table></div>');
    }
    section.innerHTML = out.join('');
    into.appendChild(section);
    var trs = section.querySelectorAll('tbody tr');
    for (var i = 0; i < trs.length; ++i) driftRows.push(trs[i]);
  }
  function cellText(value, missing) {
    if (missing) return '<span class="none">missing</span>';
    if (value === null) return '<span class="none">null</span>';
    return esc(value === '' ? '""' : value);
  }
  function renderDriftRow(r, machines, out) {
    var name = r[0], at = byName[name], missing = {}, differs = {};
    r[6].forEach(function (i) { missing[i] = true; });
    r[5].forEach(function (i) { differs[i] = true; });
    var display = at !== undefined ? attrs[at][1] : r[1];
    var path = at !== undefined ? menuPath(attrs[at][2]) : r[2];
    out.push('<tr id="drift-', esc(name), '" data-attribute="', esc(name), '"><th scope="row">');
    if (at !== undefined) out.push('<a href="#', esc(name), '">', esc(display || name), '</a>');
    else out.push('<span class="dname">', esc(display || name), '</span>');
    out.push(' <code class="aname">', esc(name), '</code>');
    if (path) out.push('<span class="path">', esc(path), '</span>');
    out.push('</th><td class="majority">', cellText(r[4][r[3]], missing[r[3]]), '</td>');
    machines.forEach(function (m, i) {
      out.push('<td data-machine="', esc(m[0]), '" data-attribute="', esc(name), '" data-value="',
        esc(r[4][i] === null ? '' : r[4][i]), '"', differs[i] ? ' data-differs="true"' : '',
        missing[i] ? ' data-missing="true"' : '', '>', differs[i] ? '<span class="sr">differs: </span>' : '',
        cellText(r[4][i], missing[i]), '</td>');
    });
    out.push('</tr>');
  }

  // ---- Expanding, moving and revealing --------------------------------------------------------
  var current = null;  // the tree item that takes the focus (roving tabindex)
  function isMenu(el) { return el.classList.contains('m'); }
  function expanded(el) { return el.getAttribute('aria-expanded') === 'true'; }
  function setExpanded(el, open) {
    if (expanded(el) !== open) el.setAttribute('aria-expanded', open ? 'true' : 'false');
  }
  function group(el) { return el.lastElementChild; }
  function parentItem(el) {
    var p = el.parentElement;
    return p && p !== tree ? p.parentElement : null;
  }
  function visible(el) { return el.offsetHeight > 0; }  // a menu without its label has no height
  function visibleFrom(el, forward) {
    while (el && !visible(el)) el = forward ? el.nextElementSibling : el.previousElementSibling;
    return el;
  }
  function nextItem(el) {
    if (isMenu(el) && expanded(el)) {
      var child = visibleFrom(group(el).firstElementChild, true);
      if (child) return child;
    }
    for (; el; el = parentItem(el)) {
      var next = visibleFrom(el.nextElementSibling, true);
      if (next) return next;
    }
    return null;
  }
  function lastInside(el) {
    while (isMenu(el) && expanded(el)) {
      var child = visibleFrom(group(el).lastElementChild, false);
      if (!child) break;
      el = child;
    }
    return el;
  }
  function previousItem(el) {
    var previous = visibleFrom(el.previousElementSibling, false);
    return previous ? lastInside(previous) : parentItem(el);
  }
  function focusItem(el, scroll) {
    if (!el) return;
    if (current && current !== el) current.removeAttribute('tabindex');
    current = el;
    el.tabIndex = 0;
    el.focus({ preventScroll: !scroll });
    if (scroll) (el.firstElementChild || el).scrollIntoView({ block: 'center' });
  }

  // The help of a setting, made when first asked for.
  function toggleHelp(el) {
    var help = el.querySelector(':scope > .help');
    if (help) {
      help.hidden = !help.hidden;
      el.classList.toggle('open', !help.hidden);
      return;
    }
    var a = attrs[el.kIndex], x = a[8];
    var rows = [['Help', a[7] ? esc(a[7]) : '<span class="none">The firmware gives no help text.</span>'],
      ['Name', '<code>' + esc(a[0]) + '</code> · <a href="#' + esc(a[0]) + '">link to this setting</a>'],
      ['Menu', esc(a[2] >= 0 ? menuPath(a[2]) : 'none')],
      ['Value', valueHtml(a, a[4])],
      ['BIOS default', a[5] === null ? '<span class="none">none</span>' : valueHtml(a, a[5])]];
    if (x.c !== undefined) {
      rows.push(['Options', '<ul class="options">' + choices[x.c].map(function (c) {
        var mark = c[0] === a[4] ? ' class="current"' : '';
        var name = c[1] && c[1] !== c[0] ? ' <code class="vname">' + esc(c[0]) + '</code>' : '';
        return '<li' + mark + '>' + esc(c[1] || c[0]) + name + '</li>';
      }).join('') + '</ul>']);
    } else {
      var allowed = allowedText(a, true);
      if (allowed) rows.push(['Allowed', esc(allowed)]);
    }
    var words = flagWords(a[6] & ~CHANGED);
    if (words.length) rows.push(['State', esc(words.join(', '))]);
    help = document.createElement('div');
    help.className = 'help';
    help.id = 'help-' + a[0];
    help.innerHTML = '<dl>' + rows.map(function (r) { return '<dt>' + r[0] + '</dt><dd>' + r[1] + '</dd>'; }).join('') + '</dl>';
    el.appendChild(help);
    el.setAttribute('aria-describedby', help.id);
    el.classList.add('open');
  }

  function onTreeKey(e) {
    var el = e.target.closest('[role=treeitem]');
    if (!el || el !== e.target) return;
    var target = null;
    switch (e.key) {
      case 'ArrowDown': target = nextItem(el); break;
      case 'ArrowUp': target = previousItem(el); break;
      case 'ArrowRight':
        if (isMenu(el) && !expanded(el)) setExpanded(el, true);
        else if (isMenu(el)) target = visibleFrom(group(el).firstElementChild, true);
        break;
      case 'ArrowLeft':
        if (isMenu(el) && expanded(el)) setExpanded(el, false);
        else target = parentItem(el);
        break;
      case 'Home': target = visibleFrom(tree.firstElementChild, true); break;
      case 'End': target = lastInside(visibleFrom(tree.lastElementChild, false)); break;
      case 'Enter':
      case ' ':
        if (isMenu(el)) setExpanded(el, !expanded(el)); else toggleHelp(el);
        break;
      default:
        return;
    }
    e.preventDefault();
    if (target) focusItem(target, true);
  }
  function onTreeClick(e) {
    if (e.target.closest('a')) return;
    var el = e.target.closest('.label, .s');
    if (!el || e.target.closest('.help')) return;
    if (!el.classList.contains('s')) el = el.parentElement;
    if (isMenu(el)) setExpanded(el, !expanded(el)); else toggleHelp(el);
    focusItem(el, false);
  }

  // Opens the menus above a setting or menu and moves to it; a filter that hides it is cleared,
  // and a hidden one is shown.
  function reveal(el) {
    var hiddenInside = el.closest('[data-hidden]');
    if (hiddenInside && !showHidden.checked) {
      showHidden.checked = true;
      applyHidden();
    }
    if (filtering && !visibleInFilter(el)) {
      search.value = '';
      changedOnly.checked = false;
      applyFilter();
    }
    for (var p = parentItem(el); p; p = parentItem(p)) setExpanded(p, true);
    if (isMenu(el)) setExpanded(el, true);
    var old = tree.querySelector('.target');
    if (old) old.classList.remove('target');
    el.classList.add('target');
    focusItem(el, true);
  }
  function visibleInFilter(el) {
    return (isMenu(el) ? holdState : matchState)[el.kIndex] === 1;
  }
  function openTarget() {
    var name = '';
    try { name = decodeURIComponent(location.hash.slice(1)); } catch (err) { return; }
    if (!name || !tree) return;
    var el = name in byName ? settingNodes[byName[name]] : name in menuByName ? menuNodes[menuByName[name]] : null;
    if (el) reveal(el);
  }

  // ---- Search and filters -------------------------------------------------------------------
  var filtering = false;
  var matchState = new Uint8Array(attrs.length);
  var holdState = new Uint8Array(menus.length);
  var saved = null;        // the menus open before the filter began
  var haystack = null;     // per attribute: name, display name and value, in lower case
  var rowHaystack = null;  // per drift row
  function buildHaystack() {
    haystack = new Array(attrs.length);
    for (var i = 0; i < attrs.length; ++i) {
      var a = attrs[i], shown = a[3] === 'E' ? optionText(a, a[4]) : null;
      haystack[i] = (a[0] + '\n' + a[1] + '\n' + (a[4] === null ? '' : a[4]) + '\n' + (shown || '')).toLowerCase();
    }
  }
  function applyHidden() {
    document.body.classList.toggle('show-hidden', showHidden.checked);
    if (filtering || changedOnly.checked) applyFilter();
  }

  function applyFilter() {
    var query = search.value.trim().toLowerCase();
    var active = query !== '' || changedOnly.checked;
    var settings = 0, menusHolding = 0;
    if (tree) {
      if (active && !filtering) saved = menuNodes.map(expanded);
      if (query && !haystack) buildHaystack();
      var match = new Uint8Array(attrs.length), holds = new Uint8Array(menus.length);
      if (active) {
        var hiddenToo = showHidden.checked, onlyChanged = changedOnly.checked;
        for (var i = 0; i < attrs.length; ++i) {
          var f = attrs[i][6];
          if ((f & HIDDEN && !hiddenToo) || (onlyChanged && !(f & CHANGED))) continue;
          if (query && haystack[i].indexOf(query) < 0) continue;
          match[i] = 1;
          ++settings;
          for (var m = attrs[i][2]; m >= 0 && m < menus.length && !holds[m]; m = parentOf[m]) holds[m] = 1;
        }
      }
      for (i = 0; i < attrs.length; ++i) {
        if (match[i] !== matchState[i]) settingNodes[i].classList.toggle('match', match[i] === 1);
      }
      for (m = 0; m < menus.length; ++m) {
        if (holds[m]) ++menusHolding;
        if (holds[m] !== holdState[m]) menuNodes[m].classList.toggle('holds', holds[m] === 1);
        if (holds[m]) setExpanded(menuNodes[m], true);
      }
      matchState = match;
      holdState = holds;
      hideUnmatched(active);
      if (!active && filtering && saved) {
        // Back to the menus open before, and the way to the current item.
        for (m = 0; m < menus.length; ++m) setExpanded(menuNodes[m], saved[m]);
        for (var p = current && parentItem(current); p; p = parentItem(p)) setExpanded(p, true);
        saved = null;
      }
    }
    var rowsShown = filterDrift(query);
    filtering = active;
    report(active, query, settings, menusHolding, rowsShown);
  }
  // The filter hides, in each place that shows, the items that neither match nor hold a match:
  // the top of the tree and the menus holding matches (every other item lies inside one of those
  // or inside a closed menu). A setting is hidden whole; a menu keeps its element and loses its
  // label, closed (it reopens as it was when the search ends): taking a menu element out of the
  // layout would make the browser walk every setting below it, a class on the whole tree would
  // restyle every setting of the page, and a search must cost what it shows.
  var outNodes = [];
  function hideUnmatched(active) {
    for (var k = 0; k < outNodes.length; ++k) outNodes[k].classList.remove('out');
    outNodes = [];
    if (!active) return;
    var hideIn = function (container) {
      for (var el = container.firstElementChild; el; el = el.nextElementSibling) {
        var menu = isMenu(el);
        if ((menu ? holdState : matchState)[el.kIndex] === 1) continue;
        if (menu) setExpanded(el, false);
        el.classList.add('out');
        outNodes.push(el);
      }
    };
    hideIn(tree);
    for (var m = 0; m < menus.length; ++m) if (holdState[m]) hideIn(group(menuNodes[m]));
  }

  function filterDrift(query) {
    if (!driftRows.length) return 0;
    if (query && !rowHaystack) {
      rowHaystack = compare.rows.map(function (r) {
        var at = byName[r[0]];
        return (r[0] + '\n' + (at !== undefined ? attrs[at][1] : r[1]) + '\n' + r[4].join('\n')).toLowerCase();
      });
    }
    var shown = 0;
    for (var i = 0; i < driftRows.length; ++i) {
      var keep = !query || rowHaystack[i].indexOf(query) >= 0;
      if (driftRows[i].hidden === keep) driftRows[i].hidden = !keep;
      if (keep) ++shown;
    }
    return shown;
  }
  function report(active, query, settings, menusHolding, rowsShown) {
    var parts = [];
    if (active && tree) {
      parts.push(settings === 0 ? 'No setting matches' :
        plural(settings, 'setting matches', 'settings match') + ' in ' + plural(menusHolding, 'menu', 'menus'));
    }
    if (query && driftRows.length) parts.push(rowsShown + ' of ' + plural(driftRows.length, 'differing attribute', 'differing attributes') + ' match');
    var text = parts.join('; ');
    if (text && query) text += ' “' + query + '”';
    if (text && changedOnly.checked && tree) text += ' (changed from default only)';
    status.textContent = text;
  }

  function onSearchKey(e) {
    if (e.key === 'Escape') {
      search.value = '';
      applyFilter();
      e.preventDefault();
    } else if ((e.key === 'ArrowDown' || e.key === 'Enter') && tree) {
      var first = filtering ? tree.querySelector('.s.match') : visibleFrom(tree.firstElementChild, true);
      if (first) {
        if (filtering) for (var p = parentItem(first); p; p = parentItem(p)) setExpanded(p, true);
        focusItem(first, true);
      }
      e.preventDefault();
    }
  }

  // ---- The page ------------------------------------------------------------------------------
  function summary() {
    var parts = [];
    if (data.source) parts.push(data.source);
    if (compare) {
      parts.push(plural(compare.machines.length, 'machine', 'machines') + ', ' +
        plural(compare.rows.length, 'attribute differs', 'attributes differ'));
    }
    if (setup) {
      var changed = 0, hidden = 0;
      for (var i = 0; i < attrs.length; ++i) {
        if (attrs[i][6] & CHANGED) ++changed;
        if (attrs[i][6] & HIDDEN) ++hidden;
      }
      parts.push(plural(attrs.length, 'setting', 'settings') + ' in ' + plural(menus.length, 'menu', 'menus'),
        changed + ' changed from default', hidden + ' hidden');
    }
    document.getElementById('k-summary').textContent = parts.join(' · ');
  }

  if (compare) buildDrift(main);
  if (setup) {
    buildTree(main, compare ? 'Menus of the Setup read for this page' : 'Menus');
    tree.addEventListener('keydown', onTreeKey);
    tree.addEventListener('click', onTreeClick);
    window.addEventListener('hashchange', openTarget);
    document.getElementById('k-expand').addEventListener('click', function () {
      menuNodes.forEach(function (el) { setExpanded(el, true); });
    });
    document.getElementById('k-collapse').addEventListener('click', function () {
      menuNodes.forEach(function (el) { setExpanded(el, false); });
    });
  } else {
    ['k-show-hidden', 'k-changed-only', 'k-expand', 'k-collapse'].forEach(function (id) {
      (document.getElementById(id).closest('label') || document.getElementById(id)).hidden = true;
    });
  }
  if (compare && setup) {
    main.addEventListener('click', function (e) {
      var link = e.target.closest('.k-drift a[href^="#"]');
      if (!link) return;
      e.preventDefault();
      var hash = link.getAttribute('href');
      if (location.hash === hash) openTarget(); else location.hash = hash;
    });
  }
  search.addEventListener('input', applyFilter);
  search.addEventListener('keydown', onSearchKey);
  showHidden.addEventListener('change', applyHidden);
  changedOnly.addEventListener('change', applyFilter);
  document.addEventListener('keydown', function (e) {
    if (e.key === '/' && !e.target.closest('input, textarea, select')) {
      e.preventDefault();
      search.focus();
      search.select();
    }
  });
  var generator = document.querySelector('meta[name=generator]');
  document.getElementById('k-foot').textContent = 'Made by ' + (generator ? generator.content : 'kestrel-attrs') +
    '. The page holds all its data and reaches nothing on the network.';
  summary();
  if (search.value || changedOnly.checked) applyFilter();  // kept by the browser across a reload
  if (showHidden.checked) applyHidden();
  openTarget();
  document.documentElement.setAttribute('data-ready', 'true');
  if (window.performance && performance.mark) performance.mark('kestrel-ready');  // for the benchmark
})();
