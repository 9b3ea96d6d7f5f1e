/* Kemora dashboard page script.
 *
 * Reads window.KMR_CTX (written by the template) and receives the rows through
 * kmrChunk(index, rows) — one call per chunk script, in order — and kmrDone()
 * after the last one. Each compact row array is decoded by position:
 *   0 muta, 1 unvan, 2 segment index, 3 son risk (mio TL), 4 region index,
 *   5 branch index, then D score codes (one per period, -1 = "YI"),
 *   R risk values "r", R values "rd", R values "df" (one per risk period),
 *   the six flags, and last the reason text.
 * The grid is created as soon as the first top_n rows are decoded, so the first
 * rows show while the remaining chunks are still being parsed.
 */
(function () {
  'use strict';

  var ctx = window.KMR_CTX || {};
  var SEGMENTS_LIST = ['KUR-TIC', 'KOBI', 'MIKRO', 'ESKK'];
  var SEGMENT_OTHER = 'Diğer';
  var FLAGS = [
    { key: '_hizli_yukselen', label: 'Hızlı yükselen', short: 'HY' },
    { key: '_rejim_degisimi', label: 'Rejim değişimi', short: 'RD' },
    { key: '_potansiyel_yi', label: 'Potansiyel YI', short: 'PY' },
    { key: '_erken_sinyal', label: 'Erken sinyal', short: 'ES' },
    { key: '_yakalanan', label: 'Yakalanan', short: 'YK' },
    { key: '_kacirilan', label: 'Kaçırılan', short: 'KÇ' }
  ];
  var FLAG_COLORS = ['#c0392b', '#e67e22', '#8e44ad', '#d4a017', '#27ae60', '#7f8c8d'];  // as .kmr-badge-N
  var META_LABELS = {
    portfoy: 'Portföy', uretim_tarihi: 'Üretim tarihi', firma_sayisi: 'Firma sayısı',
    not: 'Not', kaynak: 'Kaynak', versiyon: 'Sürüm', model: 'Model', referans_tarihi: 'Referans tarihi'
  };
  var UNIT_LABELS = { mio_tl: 'mio TL' };
  var LOCALE_TEXT = {
    noRowsToShow: 'Gösterilecek satır yok', loadingOoo: 'Yükleniyor…', filterOoo: 'Filtre…',
    equals: 'Eşittir', notEqual: 'Eşit değil', lessThan: 'Küçüktür', greaterThan: 'Büyüktür',
    lessThanOrEqual: 'Küçük veya eşit', greaterThanOrEqual: 'Büyük veya eşit', inRange: 'Arasında',
    inRangeStart: 'Başlangıç', inRangeEnd: 'Bitiş', contains: 'İçerir', notContains: 'İçermez',
    startsWith: 'İle başlar', endsWith: 'İle biter', blank: 'Boş', notBlank: 'Boş değil',
    andCondition: 'VE', orCondition: 'VEYA', applyFilter: 'Uygula', resetFilter: 'Sıfırla',
    clearFilter: 'Temizle', cancelFilter: 'İptal', pinColumn: 'Sabitle', autosizeThisColumn: 'Bu sütunu sığdır',
    autosizeAllColumns: 'Tüm sütunları sığdır', resetColumns: 'Sütunları sıfırla', sortAscending: 'Artan sırala',
    sortDescending: 'Azalan sırala', sortUnSort: 'Sıralamayı kaldır', columnFilter: 'Sütun filtresi',
    columnChooser: 'Sütun seç', noPin: 'Sabitleme yok', pinLeft: 'Sola sabitle', pinRight: 'Sağa sabitle'
  };

  var D = Array.isArray(ctx.donemler) ? ctx.donemler : [];
  var R = Array.isArray(ctx.riskDonemler) ? ctx.riskDonemler : [];
  var BOLGE_LIST = Array.isArray(ctx.bolgeList) ? ctx.bolgeList : [];
  var SUBE_LIST = Array.isArray(ctx.subeList) ? ctx.subeList : [];
  var TOTAL_ROWS = toInt(ctx.totalRows, 0);
  var TOTAL_CHUNKS = toInt(ctx.totalChunks, 0);
  var TOP_N = toInt(ctx.topN, 0);
  var EXTERNAL_LINK = typeof ctx.externalLink === 'string' ? ctx.externalLink : '';

  // Positions of the compact row array.
  var P_SCORE = 6;
  var P_R = P_SCORE + D.length;
  var P_RD = P_R + R.length;
  var P_DF = P_RD + R.length;
  var P_FLAGS = P_DF + R.length;
  var P_NEDEN = P_FLAGS + FLAGS.length;

  var BOLGE_NAMES = BOLGE_LIST.map(function (b, i) { return recordName(b, 'Bölge ' + i); });
  var SUBE_NAMES = SUBE_LIST.map(function (s, i) { return recordName(s, 'Şube ' + i); });

  var state = {
    rows: [],            // every decoded row, in the renderer's order (highest risk first)
    chunksSeen: 0,
    done: false,
    showingAll: false,
    totalRisk: 0,
    flagCounts: FLAGS.map(function () { return 0; }),
    api: null,
    firstRowsAt: null,
    timing: { pageScript: performance.now() },  // ms since navigation start, for the page benchmark
    errors: []
  };

  // ---------------------------------------------------------------- helpers

  function toInt(v, fallback) {
    var n = Number(v);
    return isFinite(n) ? Math.trunc(n) : fallback;
  }

  function recordName(rec, fallback) {
    if (rec && typeof rec === 'object') {
      if (rec.adi !== null && rec.adi !== undefined) return String(rec.adi);
      if (rec.kodu !== null && rec.kodu !== undefined) return String(rec.kodu);
      return '';
    }
    return fallback;
  }

  /** Truth as the producer of the flags means it: 0, false, null, "" and empty collections are false. */
  function truthy(v) {
    if (v === null || v === undefined || v === false || v === 0 || v === '') return false;
    if (typeof v === 'number') return true;  // NaN counts, as a stored non-zero value
    if (Array.isArray(v)) return v.length > 0;
    if (typeof v === 'object') return Object.keys(v).length > 0;
    return true;
  }

  function isNum(v) { return typeof v === 'number' && !isNaN(v); }

  var nf1 = new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 1 });
  var nf0 = new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 0 });

  function fmtNumber(v, nf) {
    if (v === null || v === undefined) return '';
    if (typeof v !== 'number') return String(v);
    if (isNaN(v)) return '—';
    if (v === Infinity) return '∞';
    if (v === -Infinity) return '−∞';
    return (nf || nf1).format(v);
  }

  function fmtScore(v) {
    if (v === -1) return 'YI';
    if (v === null || v === undefined) return '';
    return fmtNumber(v, nf0);
  }

  function text(v) {
    if (v === null || v === undefined) return '';
    if (typeof v === 'number' && !isFinite(v)) return fmtNumber(v);
    return String(v);
  }

  function el(tag, cls, content) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (content !== undefined) e.textContent = content;
    return e;
  }

  var collator = new Intl.Collator('tr');

  /** Numbers first in their order, then texts; null, NaN and missing values always last. */
  function compareValues(a, b, nodeA, nodeB, isDescending) {
    var ma = a === null || a === undefined || (typeof a === 'number' && isNaN(a));
    var mb = b === null || b === undefined || (typeof b === 'number' && isNaN(b));
    if (ma || mb) {
      if (ma && mb) return 0;
      return (ma ? 1 : -1) * (isDescending ? -1 : 1);
    }
    var na = typeof a === 'number', nb = typeof b === 'number';
    if (na && nb) return a < b ? -1 : a > b ? 1 : 0;
    if (na !== nb) return na ? -1 : 1;
    return collator.compare(String(a), String(b));
  }

  // ---------------------------------------------------------------- decoding

  function segmentName(i) {
    return i >= 0 && i < SEGMENTS_LIST.length ? SEGMENTS_LIST[i] : SEGMENT_OTHER;
  }

  function decodeRow(a) {
    var seg = typeof a[2] === 'number' ? a[2] : -1;
    var bi = typeof a[4] === 'number' ? a[4] : -1;
    var si = typeof a[5] === 'number' ? a[5] : -1;
    return {
      muta: a[0],
      unvan: a[1] === null || a[1] === undefined ? '' : String(a[1]),
      segIdx: seg,
      segment: segmentName(seg),
      risk: a[3],
      bolgeIdx: bi,
      bolge: bi >= 0 && bi < BOLGE_NAMES.length ? BOLGE_NAMES[bi] : '',
      subeIdx: si,
      sube: si >= 0 && si < SUBE_NAMES.length ? SUBE_NAMES[si] : '',
      neden: a.length > P_NEDEN ? a[P_NEDEN] : '',
      a: a
    };
  }

  function scoreAt(row, j) { return row.a[P_SCORE + j]; }
  function flagAt(row, f) { return row.a[P_FLAGS + f]; }

  function addRows(arrays) {
    if (!Array.isArray(arrays)) return;
    var rows = state.rows;
    for (var i = 0; i < arrays.length; i++) {
      var a = arrays[i];
      if (!Array.isArray(a)) continue;
      var row = decodeRow(a);
      rows.push(row);
      if (typeof row.risk === 'number' && isFinite(row.risk)) state.totalRisk += row.risk;
      for (var f = 0; f < FLAGS.length; f++) if (truthy(a[P_FLAGS + f])) state.flagCounts[f]++;
    }
  }

  // ---------------------------------------------------------------- header and key figures

  function renderHeader() {
    var meta = ctx.meta && typeof ctx.meta === 'object' ? ctx.meta : {};
    var box = document.getElementById('kmr-meta');
    var keys = Object.keys(meta);
    var first = ['portfoy', 'uretim_tarihi'];
    keys.sort(function (x, y) {
      var ix = first.indexOf(x), iy = first.indexOf(y);
      return (ix < 0 ? 99 : ix) - (iy < 0 ? 99 : iy);
    });
    keys.forEach(function (k) {
      var v = meta[k];
      if (v !== null && typeof v === 'object') return;  // lists and maps (the periods) are shown elsewhere
      var item = el('span');
      item.appendChild(document.createTextNode((META_LABELS[k] || k) + ': '));
      item.appendChild(el('b', null, typeof v === 'boolean' ? (v ? 'evet' : 'hayır') : text(v) || '—'));
      box.appendChild(item);
    });
    var range = D.length ? (D.length > 1 ? text(D[0]) + ' – ' + text(D[D.length - 1]) : text(D[0])) : '–';
    document.getElementById('kmr-period-range').textContent = range;
    document.getElementById('kmr-firm-count').textContent = nf0.format(TOTAL_ROWS);
    document.getElementById('kmr-unit').textContent = UNIT_LABELS[ctx.riskBirim] || text(ctx.riskBirim);
  }

  function renderKpis() {
    var box = document.getElementById('kmr-kpis');
    box.textContent = '';
    var unit = UNIT_LABELS[ctx.riskBirim] || text(ctx.riskBirim);
    var cards = [
      { id: 'firms', label: 'Firma', value: nf0.format(state.done ? state.rows.length : TOTAL_ROWS) },
      { id: 'risk', label: 'Toplam son risk (' + unit + ')', value: nf1.format(state.totalRisk) }
    ];
    FLAGS.forEach(function (f, i) {
      cards.push({ id: f.key, label: f.label, value: nf0.format(state.flagCounts[i]), badge: i });
    });
    cards.forEach(function (c) {
      var card = el('div', 'kmr-kpi');
      card.setAttribute('data-kpi', c.id);
      if (c.badge !== undefined) card.style.borderLeftColor = FLAG_COLORS[c.badge];
      card.appendChild(el('div', 'kmr-kpi-label', c.label));
      card.appendChild(el('div', 'kmr-kpi-value', state.done ? c.value : '…'));
      box.appendChild(card);
    });
  }

  // ---------------------------------------------------------------- choice-list filter

  /** Column filter with one check box per value; filterParams: {options: [{key, label}], keyOf(data)}. */
  function ChoiceFilter() {}
  ChoiceFilter.prototype.init = function (params) {
    var self = this;
    this.params = params;
    this.options = params.options || [];
    this.keyOf = params.keyOf;
    this.selected = null;  // null: every value passes
    var gui = el('div', 'kmr-choice-filter');
    gui.setAttribute('data-choice-filter', params.colDef.colId || params.colDef.field || '');
    if (this.options.length > 8) {
      var search = el('input');
      search.type = 'search';
      search.placeholder = 'Listede ara…';
      search.addEventListener('input', function () {
        var q = search.value.toLocaleLowerCase('tr');
        self.items.forEach(function (it) {
          it.label.style.display = !q || it.text.toLocaleLowerCase('tr').indexOf(q) >= 0 ? '' : 'none';
        });
      });
      gui.appendChild(search);
    }
    var allLabel = el('label', 'kmr-choice-all');
    this.allBox = el('input');
    this.allBox.type = 'checkbox';
    this.allBox.checked = true;
    this.allBox.addEventListener('change', function () {
      self.selected = self.allBox.checked ? null : new Set();
      self.sync();
      self.params.filterChangedCallback();
    });
    allLabel.appendChild(this.allBox);
    allLabel.appendChild(document.createTextNode('(Tümü)'));
    gui.appendChild(allLabel);
    var list = el('div', 'kmr-choice-list');
    this.items = this.options.map(function (o) {
      var label = el('label');
      var box = el('input');
      box.type = 'checkbox';
      box.checked = true;
      box.value = String(o.key);
      box.addEventListener('change', function () {
        if (self.selected === null) self.selected = new Set(self.options.map(function (x) { return x.key; }));
        if (box.checked) self.selected.add(o.key); else self.selected.delete(o.key);
        if (self.selected.size === self.options.length) self.selected = null;
        self.sync();
        self.params.filterChangedCallback();
      });
      label.appendChild(box);
      label.appendChild(document.createTextNode(o.label === '' ? '(boş)' : o.label));
      list.appendChild(label);
      return { key: o.key, box: box, label: label, text: o.label };
    });
    gui.appendChild(list);
    this.gui = gui;
  };
  ChoiceFilter.prototype.sync = function () {
    var sel = this.selected;
    this.items.forEach(function (it) { it.box.checked = sel === null || sel.has(it.key); });
    this.allBox.checked = sel === null;
    this.allBox.indeterminate = sel !== null && sel.size > 0;
  };
  ChoiceFilter.prototype.getGui = function () { return this.gui; };
  ChoiceFilter.prototype.isFilterActive = function () { return this.selected !== null; };
  ChoiceFilter.prototype.doesFilterPass = function (p) { return this.selected.has(this.keyOf(p.data)); };
  ChoiceFilter.prototype.getModel = function () {
    return this.selected === null ? null : { values: Array.from(this.selected) };
  };
  ChoiceFilter.prototype.setModel = function (model) {
    this.selected = model && Array.isArray(model.values) ? new Set(model.values) : null;
    this.sync();
  };
  ChoiceFilter.prototype.getModelAsString = function (model) {
    if (!model || !Array.isArray(model.values)) return '';
    var byKey = new Map(this.options.map(function (o) { return [o.key, o.label]; }));
    return model.values.map(function (k) { return byKey.get(k); }).join(', ');
  };

  function choiceColumn(base, options, keyOf) {
    base.filter = ChoiceFilter;
    base.filterParams = { options: options, keyOf: keyOf };
    return base;
  }

  // ---------------------------------------------------------------- grid

  function numberColumn(headerName, colId, pos, csvHeader) {
    return {
      headerName: headerName, colId: colId, width: 92, type: 'rightAligned',
      valueGetter: function (p) { return p.data ? p.data.a[pos] : null; },
      valueFormatter: function (p) { return fmtNumber(p.value); },
      comparator: compareValues,
      filter: 'agNumberColumnFilter',
      context: { kind: 'number', csvHeader: csvHeader }
    };
  }

  function searchable(def) {
    def.getQuickFilterText = function (p) { return text(p.value); };
    return def;
  }

  function columnDefs() {
    var segOptions = SEGMENTS_LIST.map(function (s, i) { return { key: i, label: s }; })
      .concat([{ key: -1, label: SEGMENT_OTHER }]);
    var bolgeOptions = BOLGE_NAMES.map(function (n, i) { return { key: i, label: n }; })
      .concat([{ key: -1, label: '' }]);
    var subeOptions = SUBE_NAMES.map(function (n, i) { return { key: i, label: n }; })
      .concat([{ key: -1, label: '' }]);
    var defs = [
      searchable({ headerName: 'MUTA', colId: 'muta', field: 'muta', width: 110, pinned: 'left',
        valueFormatter: function (p) { return text(p.value); }, comparator: compareValues,
        filter: 'agTextColumnFilter', filterValueGetter: function (p) { return text(p.data.muta); } }),
      searchable({ headerName: 'Unvan', colId: 'unvan', field: 'unvan', width: 250, pinned: 'left',
        filter: 'agTextColumnFilter', comparator: compareValues, tooltipField: 'unvan' }),
      searchable(choiceColumn({ headerName: 'Segment', colId: 'segment', field: 'segment', width: 100 },
        segOptions, function (d) { return d.segIdx; })),
      { headerName: 'Son risk', colId: 'son_risk', field: 'risk', width: 105, type: 'rightAligned',
        valueFormatter: function (p) { return fmtNumber(p.value); }, comparator: compareValues,
        filter: 'agNumberColumnFilter', headerTooltip: 'Son risk (' + (UNIT_LABELS[ctx.riskBirim] || text(ctx.riskBirim)) + ')',
        context: { kind: 'number' } },
      searchable(choiceColumn({ headerName: 'Bölge', colId: 'bolge', field: 'bolge', width: 140, comparator: compareValues },
        bolgeOptions, function (d) { return d.bolgeIdx; })),
      searchable(choiceColumn({ headerName: 'Şube', colId: 'sube', field: 'sube', width: 160, comparator: compareValues },
        subeOptions, function (d) { return d.subeIdx; }))
    ];
    if (D.length) {
      defs.push({
        headerName: 'KMR Skor', groupId: 'kmr',
        children: D.map(function (d, j) {
          var pos = P_SCORE + j;
          return {
            headerName: text(d), colId: 'kmr' + text(d), width: 78, type: 'rightAligned',
            valueGetter: function (p) { return p.data ? p.data.a[pos] : null; },
            valueFormatter: function (p) { return fmtScore(p.value); },
            cellClassRules: { 'kmr-score-yi': function (p) { return p.value === -1; } },
            comparator: compareValues, filter: 'agNumberColumnFilter',
            headerTooltip: 'KMR skoru, ' + text(d) + ' (YI = -1)',
            context: { kind: 'score', csvHeader: 'KMR ' + text(d) }
          };
        })
      });
    }
    [['r', 'Risk (r)', P_R], ['rd', 'Risk (rd)', P_RD], ['df', 'Risk (df)', P_DF]].forEach(function (g) {
      if (!R.length) return;
      defs.push({
        headerName: g[1] + ' — ' + (UNIT_LABELS[ctx.riskBirim] || text(ctx.riskBirim)), groupId: g[0],
        children: R.map(function (d, j) { return numberColumn(text(d), g[0] + text(d), g[2] + j, g[0] + ' ' + text(d)); })
      });
    });
    var yesNo = [{ key: 1, label: 'Var' }, { key: 0, label: 'Yok' }];
    defs.push({
      headerName: 'Sinyaller', groupId: 'flags',
      children: FLAGS.map(function (f, i) {
        return choiceColumn({
          headerName: f.short, colId: f.key, width: 62, headerTooltip: f.label,
          valueGetter: function (p) { return p.data && truthy(flagAt(p.data, i)) ? 1 : 0; },
          cellRenderer: function (p) {
            return p.value ? '<span class="kmr-badge kmr-badge-' + i + '" title="' + f.label + '">' + f.short + '</span>' : '';
          },
          context: { kind: 'flag', csvHeader: f.label }
        }, yesNo, function (d) { return truthy(flagAt(d, i)) ? 1 : 0; });
      })
    });
    defs.push(searchable({ headerName: 'Neden', colId: 'neden', field: 'neden', width: 180, filter: 'agTextColumnFilter',
      valueFormatter: function (p) { return text(p.value); }, comparator: compareValues, tooltipField: 'neden' }));
    return defs;
  }

  function csvParams() {
    return {
      fileName: 'kmr_dashboard.csv',
      // One header line; grouped columns are named with their group (KMR 202301, r 202307, …).
      skipColumnGroupHeaders: true,
      processHeaderCallback: function (p) {
        var c = p.column.getColDef();
        return (c.context && c.context.csvHeader) || c.headerName;
      },
      processCellCallback: function (p) {
        var kind = p.column.getColDef().context && p.column.getColDef().context.kind;
        var v = p.value;
        if (kind === 'score' && v === -1) return 'YI';
        if (v === null || v === undefined) return '';
        if (typeof v === 'number' && !isFinite(v)) return isNaN(v) ? 'NaN' : (v > 0 ? 'Infinity' : '-Infinity');
        return v;
      }
    };
  }

  function createGrid(initialRows) {
    var gridEl = document.getElementById('kmr-grid');
    var opts = {
      columnDefs: columnDefs(),
      rowData: initialRows,
      // Quick search looks at the text columns only (see searchable()), not at the numbers.
      defaultColDef: { sortable: true, resizable: true, filter: true, suppressHeaderMenuButton: true,
                       getQuickFilterText: function () { return ''; } },
      localeText: LOCALE_TEXT,
      rowSelection: { mode: 'singleRow', checkboxes: false, enableClickSelection: true },
      theme: agGrid.themeQuartz.withParams({ fontSize: 12, headerFontSize: 12, spacing: 5, rowHeight: 30 }),
      animateRows: false,
      cacheQuickFilter: true,
      tooltipShowDelay: 400,
      onRowDoubleClicked: function (e) { openExternal(e.data); },
      onSelectionChanged: function (e) {
        var sel = e.api.getSelectedRows();
        renderDetail(sel.length ? sel[0] : null);
      },
      onModelUpdated: updateRowCount,
      onFirstDataRendered: function () {
        // The rows are in the document now; they are on screen with the next frame.
        state.timing.firstDataRendered = performance.now();
        requestAnimationFrame(function () {
          if (state.firstRowsAt === null) state.firstRowsAt = performance.now();
        });
      }
    };
    state.timing.gridStart = performance.now();
    state.api = agGrid.createGrid(gridEl, opts);
    state.timing.gridCreated = performance.now();
    window.kmrDashboard.api = state.api;
    updateRowCount();
  }

  function updateRowCount() {
    var api = state.api;
    if (!api) return;
    var inGrid = state.showingAll || TOP_N <= 0 ? state.rows.length : Math.min(TOP_N, state.rows.length);
    var msg = nf0.format(api.getDisplayedRowCount()) + ' / ' + nf0.format(inGrid) + ' satır';
    if (!state.showingAll) msg += ' (en yüksek riskli ' + nf0.format(inGrid) + ' firma)';
    document.getElementById('kmr-row-count').textContent = msg;
  }

  function initialRows() {
    return TOP_N > 0 ? state.rows.slice(0, TOP_N) : state.rows.slice();
  }

  function setShowAll(all) {
    if (!state.api || !state.done) return;
    state.showingAll = all;
    state.api.setGridOption('rowData', all ? state.rows : initialRows());
    var btn = document.getElementById('kmr-show-all');
    btn.textContent = all ? 'İlk ' + nf0.format(Math.min(TOP_N, state.rows.length)) + ' firmayı göster' : 'Tümünü göster (' + nf0.format(state.rows.length) + ')';
    updateRowCount();
  }

  function openExternal(row) {
    if (!EXTERNAL_LINK || !row || row.muta === null || row.muta === undefined) return;
    window.open(EXTERNAL_LINK + encodeURIComponent(text(row.muta)), '_blank', 'noopener');
  }

  function wireToolbar() {
    var search = document.getElementById('kmr-search');
    var timer = null;
    search.addEventListener('input', function () {
      clearTimeout(timer);
      timer = setTimeout(function () {
        if (state.api) state.api.setGridOption('quickFilterText', search.value);
      }, 150);
    });
    document.getElementById('kmr-show-all').addEventListener('click', function () { setShowAll(!state.showingAll); });
    document.getElementById('kmr-clear-filters').addEventListener('click', function () {
      if (!state.api) return;
      search.value = '';
      state.api.setGridOption('quickFilterText', '');
      state.api.setFilterModel(null);
    });
    document.getElementById('kmr-export').addEventListener('click', function () {
      if (state.api) state.api.exportDataAsCsv(csvParams());
    });
  }

  // ---------------------------------------------------------------- charts

  var BAND_COLORS = ['#27ae60', '#f1c40f', '#e67e22', '#c0392b', '#8e44ad', '#2980b9', '#16a085', '#7f8c8d'];

  function bandColor(name, order) {
    var i = order.indexOf(name);
    return BAND_COLORS[(i < 0 ? order.length : i) % BAND_COLORS.length];
  }

  function emptyNote(box, msg) {
    box.textContent = '';
    box.appendChild(el('div', 'kmr-empty', msg));
  }

  function bandOrder() {
    var order = [];
    var snap = ctx.bandSnapshot;
    if (snap && typeof snap === 'object' && !Array.isArray(snap)) Object.keys(snap).forEach(function (k) { order.push(k); });
    if (Array.isArray(ctx.flowMatrix)) ctx.flowMatrix.forEach(function (f) {
      if (!f || typeof f !== 'object') return;
      [text(f.source), text(f.target)].forEach(function (b) { if (order.indexOf(b) < 0) order.push(b); });
    });
    return order;
  }

  function renderSankey() {
    var box = document.getElementById('kmr-sankey');
    var flows = Array.isArray(ctx.flowMatrix) ? ctx.flowMatrix : [];
    var links = [];
    flows.forEach(function (f) {
      if (!f || typeof f !== 'object') return;
      var v = Number(f.value);
      if (!isFinite(v) || v <= 0) return;
      links.push({ source: 'S:' + text(f.source), target: 'T:' + text(f.target), value: v });
    });
    if (!links.length || typeof d3 === 'undefined' || typeof d3.sankey !== 'function') {
      emptyNote(box, links.length ? 'Sankey çizimi için d3 yüklenemedi.' : 'Bant geçişi verisi yok.');
      return;
    }
    var order = bandOrder();
    var nodes = [];
    order.forEach(function (b) {
      if (links.some(function (l) { return l.source === 'S:' + b; })) nodes.push({ id: 'S:' + b, band: b, side: 'önceki' });
    });
    order.forEach(function (b) {
      if (links.some(function (l) { return l.target === 'T:' + b; })) nodes.push({ id: 'T:' + b, band: b, side: 'son' });
    });
    var width = Math.max(box.clientWidth || 640, 420), height = 320;
    var graph = d3.sankey()
      .nodeId(function (d) { return d.id; })
      .nodeWidth(14).nodePadding(12).nodeSort(null)
      .extent([[110, 10], [width - 110, height - 10]])({ nodes: nodes, links: links });
    var svg = d3.create('svg').attr('viewBox', [0, 0, width, height]).attr('width', width).attr('height', height)
      .attr('role', 'img').attr('aria-label', 'Bant geçişleri');
    svg.append('g').selectAll('path').data(graph.links).join('path')
      .attr('class', 'kmr-sankey-link')
      .attr('d', d3.sankeyLinkHorizontal())
      .attr('stroke', function (d) { return bandColor(d.source.band, order); })
      .attr('stroke-width', function (d) { return Math.max(1, d.width); })
      .append('title').text(function (d) { return d.source.band + ' → ' + d.target.band + ': ' + nf0.format(d.value); });
    var node = svg.append('g').selectAll('g').data(graph.nodes).join('g');
    node.append('rect')
      .attr('x', function (d) { return d.x0; }).attr('y', function (d) { return d.y0; })
      .attr('width', function (d) { return d.x1 - d.x0; })
      .attr('height', function (d) { return Math.max(1, d.y1 - d.y0); })
      .attr('fill', function (d) { return bandColor(d.band, order); })
      .append('title').text(function (d) { return d.band + ' (' + d.side + '): ' + nf0.format(d.value); });
    node.append('text')
      .attr('x', function (d) { return d.side === 'son' ? d.x1 + 6 : d.x0 - 6; })
      .attr('y', function (d) { return (d.y0 + d.y1) / 2; })
      .attr('dy', '0.35em').attr('font-size', 12)
      .attr('text-anchor', function (d) { return d.side === 'son' ? 'start' : 'end'; })
      .text(function (d) { return d.band + ' (' + nf0.format(d.value) + ')'; });
    svg.append('text').attr('x', 4).attr('y', height - 2).attr('font-size', 11).attr('fill', '#6b7785').text('önceki dönem');
    svg.append('text').attr('x', width - 4).attr('y', height - 2).attr('font-size', 11).attr('fill', '#6b7785')
      .attr('text-anchor', 'end').text('son dönem');
    box.textContent = '';
    box.appendChild(svg.node());
  }

  function renderBands() {
    var box = document.getElementById('kmr-bands');
    var snap = ctx.bandSnapshot;
    var data = [];
    if (snap && typeof snap === 'object' && !Array.isArray(snap)) {
      Object.keys(snap).forEach(function (k) {
        var v = Number(snap[k]);
        if (isFinite(v)) data.push({ band: k, value: v });
      });
    }
    if (!data.length || typeof d3 === 'undefined') {
      emptyNote(box, data.length ? 'Grafik için d3 yüklenemedi.' : 'Bant dağılımı verisi yok.');
      return;
    }
    var order = bandOrder();
    var width = Math.max(box.clientWidth || 320, 260), height = 320;
    var m = { top: 18, right: 10, bottom: 28, left: 54 };
    var x = d3.scaleBand().domain(data.map(function (d) { return d.band; })).range([m.left, width - m.right]).padding(0.25);
    var y = d3.scaleLinear().domain([Math.min(0, d3.min(data, function (d) { return d.value; })),
      Math.max(1, d3.max(data, function (d) { return d.value; }))]).nice().range([height - m.bottom, m.top]);
    var svg = d3.create('svg').attr('viewBox', [0, 0, width, height]).attr('width', width).attr('height', height)
      .attr('role', 'img').attr('aria-label', 'Bant dağılımı');
    svg.append('g').selectAll('rect').data(data).join('rect')
      .attr('class', 'kmr-band-bar')
      .attr('x', function (d) { return x(d.band); }).attr('width', x.bandwidth())
      .attr('y', function (d) { return y(Math.max(0, d.value)); })
      .attr('height', function (d) { return Math.abs(y(d.value) - y(0)); })
      .attr('fill', function (d) { return bandColor(d.band, order); })
      .append('title').text(function (d) { return d.band + ': ' + nf0.format(d.value); });
    svg.append('g').selectAll('text').data(data).join('text')
      .attr('x', function (d) { return x(d.band) + x.bandwidth() / 2; })
      .attr('y', function (d) { return y(Math.max(0, d.value)) - 4; })
      .attr('text-anchor', 'middle').attr('font-size', 11)
      .text(function (d) { return nf0.format(d.value); });
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(0,' + (height - m.bottom) + ')')
      .call(d3.axisBottom(x).tickSizeOuter(0));
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(' + m.left + ',0)')
      .call(d3.axisLeft(y).ticks(5).tickFormat(function (v) { return nf0.format(v); }));
    box.textContent = '';
    box.appendChild(svg.node());
  }

  /** Small line chart: periods on x, one line per series; -1 scores are drawn as "YI" marks. */
  function lineChart(periods, series, opts) {
    var width = 310, height = 130, m = { top: 10, right: 10, bottom: 22, left: 42 };
    var svg = d3.create('svg').attr('viewBox', [0, 0, width, height]).attr('width', width).attr('height', height);
    var labels = periods.map(text);
    var x = d3.scalePoint().domain(labels).range([m.left, width - m.right]).padding(0.3);
    var vals = [];
    series.forEach(function (s) { s.values.forEach(function (v) { if (isNum(v) && isFinite(v) && !(opts.yi && v === -1)) vals.push(v); }); });
    var lo = vals.length ? d3.min(vals) : 0, hi = vals.length ? d3.max(vals) : 1;
    if (lo === hi) { lo -= 1; hi += 1; }
    var y = d3.scaleLinear().domain([lo, hi]).nice().range([height - m.bottom, m.top]);
    var step = Math.ceil(labels.length / 6);
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(0,' + (height - m.bottom) + ')')
      .call(d3.axisBottom(x).tickValues(labels.filter(function (l, i) { return i % step === 0; })).tickSizeOuter(0));
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(' + m.left + ',0)')
      .call(d3.axisLeft(y).ticks(4).tickFormat(function (v) { return nf1.format(v); }));
    series.forEach(function (s) {
      var pts = s.values.map(function (v, i) { return { x: x(labels[i]), v: v }; });
      var ok = function (p) { return isNum(p.v) && isFinite(p.v) && !(opts.yi && p.v === -1); };
      svg.append('path').datum(pts)
        .attr('fill', 'none').attr('stroke', s.color).attr('stroke-width', 1.8)
        .attr('d', d3.line().defined(ok).x(function (p) { return p.x; }).y(function (p) { return y(p.v); }));
      svg.append('g').selectAll('circle').data(pts.filter(ok)).join('circle')
        .attr('cx', function (p) { return p.x; }).attr('cy', function (p) { return y(p.v); })
        .attr('r', 2.5).attr('fill', s.color);
      if (opts.yi) {
        svg.append('g').selectAll('text').data(pts.filter(function (p) { return p.v === -1; })).join('text')
          .attr('x', function (p) { return p.x; }).attr('y', m.top + 8).attr('text-anchor', 'middle')
          .attr('font-size', 10).attr('font-weight', 700).attr('fill', '#c0392b').text('YI');
      }
    });
    if (series.length > 1) {
      var lg = svg.append('g');
      series.forEach(function (s, i) {
        lg.append('rect').attr('x', m.left + 6 + i * 52).attr('y', 2).attr('width', 10).attr('height', 3).attr('fill', s.color);
        lg.append('text').attr('class', 'kmr-legend').attr('x', m.left + 20 + i * 52).attr('y', 7).text(s.name);
      });
    }
    return svg.node();
  }

  function renderDetail(row) {
    var box = document.getElementById('kmr-detail');
    box.textContent = '';
    box.appendChild(el('h2', null, 'Seçili firma'));
    if (!row) {
      box.appendChild(el('div', 'kmr-empty', 'Geçmişini görmek için tablodan bir satır seçin.'));
      return;
    }
    var dl = el('dl');
    var flags = FLAGS.filter(function (f, i) { return truthy(flagAt(row, i)); }).map(function (f) { return f.label; });
    [['MUTA', text(row.muta)], ['Unvan', row.unvan], ['Segment', row.segment], ['Son risk', fmtNumber(row.risk) + ' ' + (UNIT_LABELS[ctx.riskBirim] || '')],
     ['Bölge', row.bolge], ['Şube', row.sube], ['Sinyaller', flags.join(', ') || '—'], ['Neden', text(row.neden) || '—']]
      .forEach(function (kv) { dl.appendChild(el('dt', null, kv[0])); dl.appendChild(el('dd', null, kv[1])); });
    box.appendChild(dl);
    if (EXTERNAL_LINK) {
      var a = el('a', null, 'Firma sayfasını aç ↗');
      a.href = EXTERNAL_LINK + encodeURIComponent(text(row.muta));
      a.target = '_blank';
      a.rel = 'noopener';
      box.appendChild(a);
    }
    if (typeof d3 === 'undefined') return;
    if (D.length) {
      box.appendChild(el('h3', null, 'KMR skor geçmişi'));
      box.appendChild(lineChart(D, [{ name: 'skor', color: '#2c5f8a', values: D.map(function (d, j) { return scoreAt(row, j); }) }], { yi: true }));
    }
    if (R.length) {
      box.appendChild(el('h3', null, 'Risk geçmişi (' + (UNIT_LABELS[ctx.riskBirim] || text(ctx.riskBirim)) + ')'));
      box.appendChild(lineChart(R, [
        { name: 'r', color: '#2c5f8a', values: R.map(function (d, j) { return row.a[P_R + j]; }) },
        { name: 'rd', color: '#e67e22', values: R.map(function (d, j) { return row.a[P_RD + j]; }) },
        { name: 'df', color: '#8e44ad', values: R.map(function (d, j) { return row.a[P_DF + j]; }) }
      ], { yi: false }));
    }
  }

  // ---------------------------------------------------------------- loading

  function setStatus(msg) {
    var s = document.getElementById('kmr-load-status');
    if (s) s.textContent = msg;
  }

  function guard(fn) {
    return function () {
      try { return fn.apply(this, arguments); } catch (err) {
        state.errors.push(err);
        setStatus('Hata: ' + (err && err.message ? err.message : err));
        throw err;
      }
    };
  }

  window.kmrDashboard = {
    state: state,
    api: null,
    context: ctx,
    csvText: function () { return state.api ? state.api.getDataAsCsv(csvParams()) : ''; },
    showAll: function (all) { setShowAll(all !== false); }
  };

  window.kmrChunk = guard(function (index, rows) {
    if (state.chunksSeen === 0) { state.timing.firstChunk = performance.now(); renderHeader(); renderKpis(); wireToolbar(); }
    state.chunksSeen++;
    addRows(rows);
    if (!state.api && TOP_N > 0 && state.rows.length >= TOP_N) createGrid(initialRows());
    setStatus('Veriler yükleniyor… ' + state.chunksSeen + ' / ' + Math.max(TOTAL_CHUNKS, state.chunksSeen) + ' parça');
  });

  window.kmrDone = guard(function () {
    if (state.done) return;
    if (state.chunksSeen === 0) { renderHeader(); wireToolbar(); }
    state.done = true;
    if (!state.api) createGrid(initialRows());
    renderKpis();
    var btn = document.getElementById('kmr-show-all');
    var limited = TOP_N > 0 && state.rows.length > TOP_N;
    btn.disabled = !limited;
    btn.textContent = limited ? 'Tümünü göster (' + nf0.format(state.rows.length) + ')' : 'Tüm firmalar gösteriliyor';
    state.showingAll = !limited;
    updateRowCount();
    setStatus('');
    renderSankey();
    renderBands();
  });
})();
