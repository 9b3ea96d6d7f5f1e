/* Kemora dashboard page script.
 *
 * Reads window.KMR_CTX (written by the template). The rows arrive as JSON data
 * blocks (<script type="application/json" id="kmr-chunk-N">), one per chunk, each
 * followed by a call kmrChunk(N); kmrDone() follows the last one. Each compact
 * row array holds muta, unvan, the segment index, son risk (mio TL), the region
 * and branch indexes, D score codes (one per period, -1 = "YI"), R risk values
 * each of "r", "rd" and "df" (one per risk period), the six flags and the
 * reason text; KMR_CTX.rowLayout (from the renderer) says where each lies, and
 * the decoder reads every value from there.
 *
 * Loading: a worker (from a blob: URL, hence `worker-src blob:` in the page's
 * content policy) parses each chunk's text and decodes it into typed columns,
 * so the main thread only copies columns and hands row handles ({i}) to the
 * grid, one chunk per task. Without a worker the same decoder runs on the main
 * thread, one chunk per task. The grid starts with the first chunk; the first
 * view is the top_n highest-risk rows, while search and every filter always
 * look at all rows. When every row is in, <body data-state="ready">.
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
  // The three risk series, in the order the store keeps them (see seriesOf).
  var SERIES = ['r', 'rd', 'df'];
  var FLAG_COLORS = ['#c0392b', '#e67e22', '#8e44ad', '#d4a017', '#27ae60', '#7f8c8d'];  // as .kmr-badge-N
  var META_LABELS = {
    portfoy: 'Portföy', uretim_tarihi: 'Üretim tarihi', veri_donemi: 'Veri dönemi', kaynak: 'Kaynak',
    not: 'Not', versiyon: 'Sürüm', surum: 'Sürüm', model: 'Model', referans_tarihi: 'Referans tarihi',
    referans_tarih: 'Referans tarihi', sezon: 'Sezon', mod: 'Çalışma modu'
  };
  // Shown elsewhere (periods, unit, firm count) or not meant for readers.
  var META_HIDDEN = { donemler: 1, risk_donemler: 1, risk_birim: 1, firma_sayisi: 1 };
  var UNIT_LABELS = { mio_tl: 'mio TL' };
  var MONTHS = ['Oca', 'Şub', 'Mar', 'Nis', 'May', 'Haz', 'Tem', 'Ağu', 'Eyl', 'Eki', 'Kas', 'Ara'];
  var MONTHS_LONG = ['Ocak', 'Şubat', 'Mart', 'Nisan', 'Mayıs', 'Haziran', 'Temmuz', 'Ağustos', 'Eylül', 'Ekim',
                     'Kasım', 'Aralık'];
  var LOCALE_TEXT = {
    noRowsToShow: 'Gösterilecek satır yok', noMatchingRows: 'Eşleşen firma yok', loadingOoo: 'Yükleniyor…',
    loadingError: 'HATA', exportingOoo: 'Dışa aktarılıyor…', filterOoo: 'Filtre…', empty: 'Birini seçin',
    equals: 'Eşittir', notEqual: 'Eşit değil', lessThan: 'Küçüktür', greaterThan: 'Büyüktür',
    lessThanOrEqual: 'Küçük veya eşit', greaterThanOrEqual: 'Büyük veya eşit', inRange: 'Arasında',
    inRangeStart: 'Başlangıç', inRangeEnd: 'Bitiş', contains: 'İçerir', notContains: 'İçermez',
    startsWith: 'İle başlar', endsWith: 'İle biter', blank: 'Boş', notBlank: 'Boş değil',
    before: 'Önce', after: 'Sonra', andCondition: 'VE', orCondition: 'VEYA', applyFilter: 'Uygula',
    resetFilter: 'Sıfırla', clearFilter: 'Temizle', cancelFilter: 'İptal', textFilter: 'Metin filtresi',
    numberFilter: 'Sayı filtresi', dateFilter: 'Tarih filtresi', setFilter: 'Liste filtresi',
    pinColumn: 'Sabitle', autosizeThisColumn: 'Bu sütunu sığdır', autosizeAllColumns: 'Tüm sütunları sığdır',
    resetColumns: 'Sütunları sıfırla', sortAscending: 'Artan sırala', sortDescending: 'Azalan sırala',
    sortUnSort: 'Sıralamayı kaldır', columnFilter: 'Sütun filtresi', columnChooser: 'Sütun seç',
    noPin: 'Sabitleme yok', pinLeft: 'Sola sabitle', pinRight: 'Sağa sabitle', blanks: '(Boş)',
    invalidNumber: 'Geçersiz sayı', invalidDate: 'Geçersiz tarih', more: 'daha fazla', to: '–', of: '/',
    page: 'Sayfa', nextPage: 'Sonraki sayfa', lastPage: 'Son sayfa', firstPage: 'İlk sayfa',
    previousPage: 'Önceki sayfa', pageSizeSelectorLabel: 'Sayfa boyu:', ariaPageSizeSelectorLabel: 'Sayfa boyu',
    thousandSeparator: '.', decimalSeparator: ',',
    filterSummaryInactive: '(Tümü)', filterSummaryContains: 'içerir', filterSummaryNotContains: 'içermez',
    filterSummaryTextEquals: 'eşittir', filterSummaryTextNotEqual: 'eşit değil', filterSummaryStartsWith: 'ile başlar',
    filterSummaryEndsWith: 'ile biter', filterSummaryBlank: 'boş', filterSummaryNotBlank: 'boş değil',
    filterSummaryInRange: 'arasında',
    ariaChecked: 'işaretli', ariaUnchecked: 'işaretsiz', ariaIndeterminate: 'kısmen işaretli',
    ariaColumn: 'Sütun', ariaColumnGroup: 'Sütun grubu', ariaColumnFiltered: 'Sütun filtreli',
    ariaColumnSelectAll: 'Tüm sütunları seç', ariaDateFilterInput: 'Tarih filtresi girişi',
    ariaFilterColumn: 'Filtreyi açmak için CTRL ENTER', ariaFilterFromValue: 'Başlangıç değeri',
    ariaFilterInput: 'Filtre girişi', ariaFilterList: 'Filtre listesi', ariaFilterToValue: 'Bitiş değeri',
    ariaFilterValue: 'Filtre değeri', ariaFilterMenuOpen: 'Filtre menüsünü aç', ariaFilteringOperator: 'Filtre işleci',
    ariaHidden: 'gizli', ariaVisible: 'görünür', ariaInputEditor: 'Giriş düzenleyici', ariaLabelColumnMenu: 'Sütun menüsü',
    ariaLabelColumnFilter: 'Sütun filtresi', ariaLabelInputClear: 'Temizle', ariaLabelTooltip: 'İpucu',
    ariaLabelDialog: 'İletişim kutusu', ariaLabelSelectField: 'Seçim alanı', ariaLabelRichSelectField: 'Seçim alanı',
    ariaMenuColumn: 'Sütun menüsünü açmak için ALT AŞAĞI', ariaRowDeselect: 'Seçimi kaldırmak için BOŞLUK',
    ariaRowSelect: 'Satırı seçmek için BOŞLUK', ariaRowToggleSelection: 'Seçimi değiştirmek için BOŞLUK',
    ariaRowSelectAll: 'Tüm satırların seçimini değiştirmek için BOŞLUK', ariaRowSelectionDisabled: 'Bu satırda seçim kapalı',
    ariaSearch: 'Ara', ariaSearchFilterValues: 'Filtre değerlerinde ara', ariaSortableColumn: 'Sıralamak için ENTER',
    ariaSortableColumnWithCellSelection: 'Sıralamak için ALT ENTER', ariaToggleVisibility: 'Görünürlüğü değiştirmek için BOŞLUK',
    ariaToggleCellValue: 'Değeri değiştirmek için BOŞLUK', ariaColumnGroupExpansion: 'Grubu açıp kapatmak için ENTER',
    ariaColumnCellSelection: 'Bu sütunun görünen hücrelerini seçmek için ENTER',
    ariaColumnGroupCellSelection: 'Bu grubun görünen hücrelerini seçmek için ENTER',
    ariaColumnGroupCellSelectionAndExpansion: 'Görünen hücreleri seçmek için ENTER, grubu açıp kapatmak için ALT ENTER',
    ariaHeaderSelection: 'Başlık seçimli sütun', ariaSelectAllCells: 'Tüm hücreleri seç', ariaCalculatedColumn: 'Hesaplanan sütun',
    ariaColumnShowValuesAs: 'Değer gösterimi', ariaHasNote: 'Bu hücrede not var.', ariaPendingChange: 'Bekleyen değişiklik',
    ariaSkeletonCellLoading: 'Satır yükleniyor', ariaSkeletonCellLoadingFailed: 'Satır yüklenemedi',
    ariaDeferSkeletonCellLoading: 'Hücre yükleniyor', ariaValidationErrorPrefix: 'Doğrulama', ariaDropZoneColumnComponentDescription: 'Kaldırmak için DELETE',
    ariaRowIndex: 'Satır ${ariaRowIndex}'
  };

  var D = Array.isArray(ctx.donemler) ? ctx.donemler : [];
  var R = Array.isArray(ctx.riskDonemler) ? ctx.riskDonemler : [];
  var BOLGE_LIST = Array.isArray(ctx.bolgeList) ? ctx.bolgeList : [];
  var SUBE_LIST = Array.isArray(ctx.subeList) ? ctx.subeList : [];
  var TOTAL_ROWS = toInt(ctx.totalRows, 0);
  var TOTAL_CHUNKS = toInt(ctx.totalChunks, 0);
  var TOP_N = toInt(ctx.topN, 0);
  var EXTERNAL_LINK = typeof ctx.externalLink === 'string' ? ctx.externalLink : '';
  var UNIT = UNIT_LABELS[ctx.riskBirim] || (ctx.riskBirim === undefined || ctx.riskBirim === null ? '' : String(ctx.riskBirim));
  var LAST = D.length - 1;  // position of the latest score period

  // ---------------------------------------------------------------- decoder (page and worker)

  /**
   * Everything that turns a chunk's JSON text into typed columns. Written
   * without outside references: its source text is also the worker's script.
   */
  function kmrDecoder() {
    var MARK = '\u0000\u0001kmr:';
    var ascii = /^[\x00-\x40\x5b-\x7f]*$/;

    /** One character the slow, exact way: Turkish lower case, then without diacritics. */
    function foldChar(c) {
      return c.toLocaleLowerCase('tr').normalize('NFD').replace(/[\u0300-\u036f]/g, '').replace(/ı/g, 'i');
    }
    var folded = new Map();
    function mapChar(c) {
      var f = folded.get(c);
      if (f === undefined) { f = foldChar(c); folded.set(c, f); }
      return f;
    }

    /**
     * Search form of a text: lower case with İ, I, ı and i all becoming i, and
     * without diacritics (ğ→g, ş→s, ö→o …), so that "ISTANBUL", "istanbul" and
     * "İstanbul" read alike. Plain lower-casing first (İ becomes i plus a
     * combining dot, which the per-character step drops), then every non-ASCII
     * character through a table: much faster than locale-aware lower-casing of
     * whole texts, and the same for search.
     */
    function fold(s) {
      s = s === null || s === undefined ? '' : String(s);
      if (ascii.test(s)) return s;
      return s.toLowerCase().replace(/[^\x00-\x7f]/g, mapChar);
    }

    function revive(v) {
      if (typeof v === 'string' && v.charCodeAt(0) === 0 && v.lastIndexOf(MARK, 0) === 0) return Number(v.slice(MARK.length));
      return v;
    }

    /** JSON.parse, and for texts with the NaN / Infinity tokens of the scoreboard a second pass that marks them. */
    function parse(text) {
      try {
        return { rows: JSON.parse(text), marked: false };
      } catch (err) {
        var fixed = text.replace(/"(?:[^"\\]|\\.)*"|-?Infinity|NaN/g, function (m) {
          return m.charCodeAt(0) === 34 ? m : '"\\u0000\\u0001kmr:' + m + '"';
        });
        return { rows: JSON.parse(fixed), marked: true };
      }
    }

    function truthy(v) {
      if (v === null || v === undefined || v === false || v === 0 || v === '') return false;
      if (typeof v === 'number') return true;  // NaN counts, as a stored non-zero value
      if (Array.isArray(v)) return v.length > 0;
      if (typeof v === 'object') return Object.keys(v).length > 0;
      return true;
    }

    function text(v) {
      if (v === null || v === undefined) return '';
      if (typeof v === 'number' && !isFinite(v)) return v !== v ? '—' : (v > 0 ? '∞' : '−∞');
      if (typeof v === 'object') return JSON.stringify(v);
      return String(v);
    }

    function num(v) { return typeof v === 'number' ? v : NaN; }

    /** rows: JSON text or an array of compact rows; L: where the values lie (LAYOUT). */
    function decode(rows, L) {
      var marked = false;
      if (typeof rows === 'string') { var p = parse(rows); rows = p.rows; marked = p.marked; }
      if (!Array.isArray(rows)) rows = [];
      var arrays = [];
      for (var k = 0; k < rows.length; k++) if (Array.isArray(rows[k])) arrays.push(rows[k]);
      var n = arrays.length, nd = L.D, nr = L.R, ns = L.series.length, nr3 = ns * nr, nf = L.flags.length;
      var pMuta = L.muta, pUnvan = L.unvan, pSeg = L.segment, pRisk = L.risk, pBolge = L.bolge, pSube = L.sube;
      var pScore = L.score, pSeries = L.series, pFlags = L.flags, pNeden = L.neden;
      var out = {
        n: n, muta: new Array(n), unvan: new Array(n), seg: new Int8Array(n), risk: new Float64Array(n),
        bolge: new Int32Array(n), sube: new Int32Array(n), score: new Float64Array(n * nd),
        series: new Float64Array(n * nr3), flags: new Uint8Array(n), neden: new Int32Array(n),
        nedenDict: [], hay: '', starts: new Int32Array(n + 1)
      };
      var dict = new Map(), hay = [], at = 0;
      for (var i = 0; i < n; i++) {
        var a = arrays[i];
        if (marked) for (var q = 0; q < a.length; q++) a[q] = revive(a[q]);
        var muta = a[pMuta] === undefined ? null : a[pMuta];
        var unvan = a[pUnvan] === null || a[pUnvan] === undefined ? '' : String(a[pUnvan]);
        out.muta[i] = muta;
        out.unvan[i] = unvan;
        var s = a[pSeg];
        out.seg[i] = typeof s === 'number' && s >= 0 && s < 4 ? s : -1;
        out.risk[i] = num(a[pRisk]);
        out.bolge[i] = typeof a[pBolge] === 'number' ? a[pBolge] : -1;
        out.sube[i] = typeof a[pSube] === 'number' ? a[pSube] : -1;
        for (var j = 0; j < nd; j++) out.score[i * nd + j] = num(a[pScore + j]);
        for (var g = 0; g < ns; g++) for (var m = 0; m < nr; m++) out.series[i * nr3 + g * nr + m] = num(a[pSeries[g] + m]);
        var bits = 0;
        for (var f = 0; f < nf; f++) if (truthy(a[pFlags[f]])) bits |= 1 << f;
        out.flags[i] = bits;
        var nt = a.length > pNeden ? text(a[pNeden]) : '';
        var di = dict.get(nt);
        if (di === undefined) { di = out.nedenDict.length; dict.set(nt, di); out.nedenDict.push(nt); }
        out.neden[i] = di;
        var line = fold(text(muta)) + '\u0001' + fold(unvan).replace(/[\n\u0001]/g, ' ');
        hay.push(line);
        out.starts[i] = at;
        at += line.length + 1;
      }
      out.starts[n] = at;
      out.hay = hay.join('\n') + '\n';
      return out;
    }

    function transfers(out) {
      return [out.seg.buffer, out.risk.buffer, out.bolge.buffer, out.sube.buffer, out.score.buffer,
              out.series.buffer, out.flags.buffer, out.neden.buffer, out.starts.buffer];
    }

    return { fold: fold, decode: decode, transfers: transfers, truthy: truthy, text: text };
  }

  var DEC = kmrDecoder();
  var fold = DEC.fold;
  var truthy = DEC.truthy;
  var text = DEC.text;

  var state = {
    chunksSeen: 0,       // chunk texts handed to the decoder
    chunksIn: 0,         // decoded chunks whose rows are in the store
    allSent: false,      // kmrDone() was called
    rowsIn: false,       // every row is in the grid
    done: false,         // … and the figures are drawn: the page is ready (<body data-state="ready">)
    showingAll: false,
    topOnly: TOP_N > 0,  // the first view: only the top_n highest-risk rows
    searchText: '',
    mask: null,          // Uint8Array: rows that the quick search lets through, or null
    api: null,
    firstRowsAt: null,
    readyAt: null,
    timing: { pageScript: performance.now() },  // ms since navigation start, for the page benchmark
    errors: [],
    exporting: false,
    pendingAdds: [],     // row handles decoded but not yet in the grid
    rowsInGrid: 0
  };

  // ---------------------------------------------------------------- row store

  // What the decoder reads from where: the positions of KMR_CTX.rowLayout (a
  // member's position by its name; by prefix, that of the first period). It
  // keeps the series in SERIES order and the flags in FLAGS order, flag k as bit k.
  var ROW = ctx.rowLayout || {};
  var LAYOUT = {
    muta: ROW.muta, unvan: ROW.unvan, segment: ROW.segment, risk: ROW.son_risk, bolge: ROW.bolge_kodu,
    sube: ROW.sube_kodu, score: ROW.kmr, D: D.length, series: SERIES.map(function (g) { return ROW[g]; }),
    R: R.length, flags: FLAGS.map(function (f) { return ROW[f.key]; }), neden: ROW._kmr_neden
  };
  var R3 = SERIES.length * R.length;
  var store = {
    n: 0, cap: 0, muta: [], unvan: [], seg: null, risk: null, bolge: null, sube: null, score: null,
    series: null, flags: null, neden: null,
    nedenDict: [], nedenFold: [], nedenIndex: new Map(),
    chunks: [],          // {base, n, hay, starts}: the search text of each chunk
    handles: []          // {i} per row: the grid's row data
  };

  function grow(cap) {
    function g(Type, old, size) {
      var a = new Type(size);
      if (old) a.set(old.subarray(0, Math.min(old.length, size)));
      return a;
    }
    store.seg = g(Int8Array, store.seg, cap);
    store.risk = g(Float64Array, store.risk, cap);
    store.bolge = g(Int32Array, store.bolge, cap);
    store.sube = g(Int32Array, store.sube, cap);
    store.score = g(Float64Array, store.score, cap * D.length);
    store.series = g(Float64Array, store.series, cap * R3);
    store.flags = g(Uint8Array, store.flags, cap);
    store.neden = g(Int32Array, store.neden, cap);
    store.cap = cap;
  }
  grow(Math.max(TOTAL_ROWS, 1));

  function addDecoded(c) {
    var base = store.n, n = c.n;
    if (base + n > store.cap) grow(Math.max(base + n, store.cap * 2));
    for (var k = 0; k < n; k++) { store.muta.push(c.muta[k]); store.unvan.push(c.unvan[k]); }
    store.seg.set(c.seg, base);
    store.risk.set(c.risk, base);
    store.bolge.set(c.bolge, base);
    store.sube.set(c.sube, base);
    store.score.set(c.score, base * D.length);
    store.series.set(c.series, base * R3);
    store.flags.set(c.flags, base);
    var remap = c.nedenDict.map(function (t) {
      var g = store.nedenIndex.get(t);
      if (g === undefined) {
        g = store.nedenDict.length;
        store.nedenIndex.set(t, g);
        store.nedenDict.push(t);
        store.nedenFold.push(fold(t));
      }
      return g;
    });
    for (k = 0; k < n; k++) store.neden[base + k] = remap[c.neden[k]];
    store.chunks.push({ base: base, n: n, hay: c.hay, starts: c.starts });
    var handles = new Array(n);
    for (k = 0; k < n; k++) { handles[k] = new RowHandle(base + k); store.handles.push(handles[k]); }
    store.n = base + n;
    return handles;
  }

  /**
   * The grid's row data: the row's position in the store. The named values
   * are read from the store on demand (shared getters, nothing per row).
   */
  function RowHandle(i) { this.i = i; }
  Object.defineProperties(RowHandle.prototype, {
    muta: { get: function () { return store.muta[this.i]; } },
    unvan: { get: function () { return store.unvan[this.i]; } },
    segment: { get: function () { return segName(this.i); } },
    risk: { get: function () { return riskOf(this.i); } },
    bolge: { get: function () { return bolgeName(this.i); } },
    sube: { get: function () { return subeName(this.i); } },
    neden: { get: function () { return nedenOf(this.i); } }
  });

  function nv(x) { return x !== x ? null : x; }  // NaN (no value) → null
  function scoreOf(i, j) { return nv(store.score[i * D.length + j]); }
  function seriesOf(i, m) { return nv(store.series[i * R3 + m]); }
  function riskOf(i) { return nv(store.risk[i]); }
  function flagOf(i, f) { return (store.flags[i] >> f) & 1; }
  function segName(i) { var s = store.seg[i]; return s >= 0 ? SEGMENTS_LIST[s] : SEGMENT_OTHER; }
  function bolgeName(i) { var b = store.bolge[i]; return b >= 0 && b < BOLGE_NAMES.length ? BOLGE_NAMES[b] : ''; }
  function subeName(i) { var s = store.sube[i]; return s >= 0 && s < SUBE_NAMES.length ? SUBE_NAMES[s] : ''; }
  function nedenOf(i) { return store.nedenDict[store.neden[i]] || ''; }

  /** The folded unvan of row i, from its chunk's search text. */
  function unvanFold(i) {
    var ch = chunkOf(i), r = i - ch.base;
    var line = ch.hay.slice(ch.starts[r], ch.starts[r + 1] - 1);
    return line.slice(line.indexOf('\u0001') + 1);
  }
  function chunkOf(i) {
    var cs = store.chunks, lo = 0, hi = cs.length - 1;
    while (lo < hi) { var mid = (lo + hi + 1) >> 1; if (cs[mid].base <= i) lo = mid; else hi = mid - 1; }
    return cs[lo];
  }

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

  var BOLGE_NAMES = BOLGE_LIST.map(function (b, i) { return recordName(b, 'Bölge ' + i); });
  var SUBE_NAMES = SUBE_LIST.map(function (s, i) { return recordName(s, 'Şube ' + i); });
  var SUBE_BOLGE = SUBE_LIST.map(function (s) { return s && typeof s.bolge_idx === 'number' ? s.bolge_idx : -1; });

  var NF = {
    amount: new Intl.NumberFormat('tr-TR', { minimumFractionDigits: 1, maximumFractionDigits: 1 }),
    int: new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 0 })
  };

  /** A number for Turkish readers: thousands ".", decimal ","; never "-0". */
  function fmtNumber(v, nf) {
    if (v === null || v === undefined) return '';
    if (typeof v !== 'number') return String(v);
    if (v !== v) return '—';
    if (v === Infinity) return '∞';
    if (v === -Infinity) return '−∞';
    var s = (nf || NF.amount).format(v);
    return /^[-\u2212]0(,0*)?$/.test(s) ? s.slice(1) : s;
  }
  function fmtAmount(v) { return fmtNumber(v, NF.amount); }
  function fmtInt(v) { return fmtNumber(v, NF.int); }

  function fmtScore(v) {
    if (v === -1) return 'YI';
    if (v === null || v === undefined) return '';
    return fmtInt(v);
  }

  /**
   * A number typed by a Turkish reader: "2,5" is 2.5, "1.000" is 1000,
   * "1.234,5" is 1234.5; a lone point with other than three digits after it
   * ("2.5") is taken as a decimal point.
   */
  function parseTrNumber(t) {
    if (t === null || t === undefined) return null;
    if (typeof t === 'number') return t;
    var s = String(t).replace(/[\s\u00a0]/g, '').replace(/^\u2212/, '-');
    if (s === '' || s === '-') return null;
    if (s.indexOf(',') >= 0) s = s.replace(/\./g, '').replace(',', '.');
    else if (/^-?\d{1,3}(\.\d{3})+$/.test(s)) s = s.replace(/\./g, '');
    if (!/^-?(\d+\.?\d*|\.\d+)$/.test(s)) return null;
    var v = Number(s);
    return isFinite(v) ? v : null;
  }

  /** "202412" or "2024-12" → "Ara 2024"; other period texts as they are. */
  function periodLabel(p) {
    var s = text(p), m = /^(\d{4})-?(\d{2})$/.exec(s);
    return m && +m[2] >= 1 && +m[2] <= 12 ? MONTHS[+m[2] - 1] + ' ' + m[1] : s;
  }

  /** ISO dates ("2024-12-31", "2026-12-01T08:00:00") → "31 Aralık 2024", "1 Aralık 2026 08:00". */
  function dateLabel(s) {
    var m = /^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::\d{2}(?:\.\d+)?)?(Z|[+-]\d{2}:?\d{2})?)?$/.exec(String(s));
    if (!m || +m[2] < 1 || +m[2] > 12) return null;
    var t = +m[3] + ' ' + MONTHS_LONG[+m[2] - 1] + ' ' + m[1];
    if (m[4] !== undefined) t += ' ' + m[4] + ':' + m[5];
    return t;
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

  /** Scores: YI (-1) is the worst state and sorts above every score; no score sorts last. */
  function compareScores(a, b, nodeA, nodeB, isDescending) {
    return compareValues(a === -1 ? Infinity : a, b === -1 ? Infinity : b, nodeA, nodeB, isDescending);
  }

  function humanKey(k) {
    var s = String(k).replace(/_/g, ' ');
    return s.charAt(0).toLocaleUpperCase('tr') + s.slice(1);
  }

  // ---------------------------------------------------------------- header and key figures

  function metaValueText(k, v) {
    if (typeof v === 'boolean') return v ? 'evet' : 'hayır';
    if (typeof v === 'number') return isFinite(v) ? fmtNumber(v, new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 4 })) : '';
    var s = String(v).trim();
    if (/donem/.test(k)) return periodLabel(s);
    return dateLabel(s) || s;
  }

  function renderHeader() {
    var meta = ctx.meta && typeof ctx.meta === 'object' ? ctx.meta : {};
    var box = document.getElementById('kmr-meta');
    box.textContent = '';
    var keys = Object.keys(meta);
    var first = ['portfoy', 'uretim_tarihi', 'veri_donemi'];
    keys.sort(function (x, y) {
      var ix = first.indexOf(x), iy = first.indexOf(y);
      return (ix < 0 ? 99 : ix) - (iy < 0 ? 99 : iy);
    });
    keys.forEach(function (k) {
      var v = meta[k];
      if (META_HIDDEN[k] || v === null || v === undefined || typeof v === 'object') return;
      var t = metaValueText(k, v);
      if (!t || t === '—' || t === '-') return;  // nothing empty is shown
      var item = el('span');
      item.setAttribute('data-meta', k);
      item.appendChild(document.createTextNode((META_LABELS[k] || humanKey(k)) + ': '));
      item.appendChild(el('b', null, t));
      box.appendChild(item);
    });
    var declared = meta.firma_sayisi;
    if (typeof declared === 'number' && isFinite(declared) && declared !== TOTAL_ROWS) {
      var warn = el('span', 'kmr-meta-warn');
      warn.appendChild(document.createTextNode('Kaynakta bildirilen firma sayısı: '));
      warn.appendChild(el('b', null, fmtInt(declared)));
      box.appendChild(warn);
    }
    var range = D.length ? (D.length > 1 ? periodLabel(D[0]) + ' – ' + periodLabel(D[LAST]) : periodLabel(D[0])) : '–';
    document.getElementById('kmr-period-range').textContent = range;
    document.getElementById('kmr-firm-count').textContent = fmtInt(TOTAL_ROWS);
    document.getElementById('kmr-unit').textContent = UNIT;
  }

  /** Rows the key figures, charts and summary describe: every row passing search and filters. */
  function figureRows() {
    var out = [];
    if (!state.api || state.topOnly) {
      for (var i = 0; i < store.n; i++) out.push(i);
    } else {
      state.api.forEachNodeAfterFilter(function (node) { if (node.data) out.push(node.data.i); });
    }
    return out;
  }

  function renderKpis(rows) {
    var box = document.getElementById('kmr-kpis');
    box.textContent = '';
    var total = 0, yi = 0, flagCounts = FLAGS.map(function () { return 0; });
    if (rows) {
      for (var k = 0; k < rows.length; k++) {
        var i = rows[k], r = store.risk[i];
        if (r === r && isFinite(r)) total += r;
        var b = store.flags[i];
        if (b) for (var f = 0; f < FLAGS.length; f++) if (b & (1 << f)) flagCounts[f]++;
        if (D.length && store.score[i * D.length + LAST] === -1) yi++;
      }
    }
    var filters = currentFilterModel();
    var cards = [
      { id: 'firms', label: 'Firma', value: rows ? fmtInt(rows.length) : '…',
        title: 'Arama ve filtrelere uyan firma sayısı; tıklayınca tüm filtreler temizlenir' },
      { id: 'risk', label: 'Son risk toplamı (' + UNIT + ')', value: rows ? fmtAmount(total) : '…',
        note: 'yuvarlanmış tutarların toplamı',
        title: 'Her firmanın son riski tam milyona (1 milyonun altında 0,1 milyona) yuvarlanıp toplanmıştır; kaynak tutarların kesin toplamı değildir.' }
    ];
    if (D.length) cards.push({ id: 'yi', label: 'YI (' + periodLabel(D[LAST]) + ')', value: rows ? fmtInt(yi) : '…',
                               title: 'Son dönemde YI olan firmalar; tıklayınca filtrelenir', active: isYiFilter(filters) });
    FLAGS.forEach(function (f, i) {
      cards.push({ id: f.key, label: f.label, value: rows ? fmtInt(flagCounts[i]) : '…', badge: i,
                   title: f.label + ' işaretli firmalar; tıklayınca filtrelenir',
                   active: !!(filters[f.key] && filters[f.key].values && filters[f.key].values.length === 1 && filters[f.key].values[0] === 1) });
    });
    cards.forEach(function (c) {
      var card = el(c.id === 'risk' ? 'div' : 'button', 'kmr-kpi' + (c.active ? ' kmr-active' : ''));
      card.setAttribute('data-kpi', c.id);
      if (c.id !== 'risk') card.type = 'button';
      if (c.title) card.title = c.title;
      if (c.badge !== undefined) card.style.borderLeftColor = FLAG_COLORS[c.badge];
      card.appendChild(el('div', 'kmr-kpi-label', c.label));
      card.appendChild(el('div', 'kmr-kpi-value', c.value));
      if (c.note) card.appendChild(el('div', 'kmr-kpi-note', c.note));
      if (c.id !== 'risk') card.addEventListener('click', function () { kpiClicked(c.id); });
      box.appendChild(card);
    });
  }

  // ---------------------------------------------------------------- choice-list filter

  /**
   * Column filter with one check box per value; filterParams:
   * {options: [{key, label}], keyOf(i), visible(key) (optional: options offered now)}.
   */
  function ChoiceFilter() {}
  ChoiceFilter.prototype.init = function (params) {
    var self = this;
    this.params = params;
    this.options = params.options || [];
    this.keyOf = params.keyOf;
    this.visible = params.visible || null;
    this.selected = null;  // null: every value passes
    var gui = el('div', 'kmr-choice-filter');
    gui.setAttribute('data-choice-filter', params.colDef.colId || params.colDef.field || '');
    if (this.options.length > 8) {
      var search = el('input');
      search.type = 'search';
      search.placeholder = 'Listede ara…';
      search.setAttribute('aria-label', 'Listede ara');
      search.addEventListener('input', function () { self.query = fold(search.value); self.showItems(); });
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
      return { key: o.key, box: box, label: label, text: fold(o.label) };
    });
    gui.appendChild(list);
    this.gui = gui;
  };
  ChoiceFilter.prototype.showItems = function () {
    var q = this.query || '', vis = this.visible;
    this.items.forEach(function (it) {
      var show = (!q || it.text.indexOf(q) >= 0) && (!vis || vis(it.key));
      it.label.style.display = show ? '' : 'none';
    });
  };
  ChoiceFilter.prototype.afterGuiAttached = function () { this.showItems(); };
  ChoiceFilter.prototype.sync = function () {
    var sel = this.selected;
    this.items.forEach(function (it) { it.box.checked = sel === null || sel.has(it.key); });
    this.allBox.checked = sel === null;
    this.allBox.indeterminate = sel !== null && sel.size > 0;
  };
  ChoiceFilter.prototype.getGui = function () { return this.gui; };
  ChoiceFilter.prototype.isFilterActive = function () { return this.selected !== null; };
  ChoiceFilter.prototype.doesFilterPass = function (p) { return this.selected.has(this.keyOf(p.data.i)); };
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

  function choiceColumn(base, options, keyOf, visible) {
    base.filter = ChoiceFilter;
    base.filterParams = { options: options, keyOf: keyOf, visible: visible };
    return base;
  }

  /** Options in Turkish alphabetical order; the empty name last. */
  function sortedOptions(names, emptyLabel) {
    var opts = names.map(function (n, i) { return { key: i, label: n }; });
    opts.sort(function (a, b) { return collator.compare(a.label, b.label) || a.key - b.key; });
    opts.push({ key: -1, label: emptyLabel });
    return opts;
  }

  // ---------------------------------------------------------------- grid

  /** Text-filter parameters: Turkish case and diacritics folded on both sides. */
  var TEXT_FILTER = { textFormatter: function (v) { return fold(v); }, defaultOption: 'contains',
                      buttons: ['reset'], maxNumConditions: 1 };

  function numberFilterParams(defaultOption) {
    return {
      numberParser: function (t) { return parseTrNumber(t); },
      numberFormatter: function (v) { return v === null || v === undefined ? '' : String(v).replace('.', ','); },
      allowedCharPattern: '\\d\\-\\.,\u2212 ',
      defaultOption: defaultOption, inRangeInclusive: true, buttons: ['reset'], maxNumConditions: 1
    };
  }

  function amountColumn(headerName, colId, get, csvHeader, width) {
    return {
      headerName: headerName, colId: colId, width: width || 104, type: 'rightAligned',
      valueGetter: function (p) { return p.data ? get(p.data.i) : null; },
      valueFormatter: function (p) { return fmtAmount(p.value); },
      comparator: compareValues,
      filter: 'agNumberColumnFilter', filterParams: numberFilterParams('greaterThanOrEqual'),
      context: { kind: 'amount', csvHeader: csvHeader, csv: get }
    };
  }

  function scoreColumn(j) {
    var d = D[j], get = function (i) { return scoreOf(i, j); };
    return {
      headerName: periodLabel(d), colId: 'kmr' + text(d), width: 124, type: 'rightAligned',
      valueGetter: function (p) { return p.data ? get(p.data.i) : null; },
      valueFormatter: function (p) { return fmtScore(p.value); },
      cellClassRules: { 'kmr-score-yi': function (p) { return p.value === -1; } },
      comparator: compareScores,
      filter: 'agNumberColumnFilter', filterParams: numberFilterParams('equals'),
      // YI is the worst state: above every score in filters too.
      filterValueGetter: function (p) { var v = get(p.data.i); return v === -1 ? Infinity : v; },
      headerTooltip: 'KMR skoru, ' + periodLabel(d) + (j === LAST ? ' (son dönem)' : '') + '; YI en kötü durumdur',
      context: { kind: 'score', csvHeader: 'KMR ' + text(d), csv: get }
    };
  }

  var quickSearchable = {};  // colIds the quick search looks at

  function columnDefs() {
    var segOptions = SEGMENTS_LIST.map(function (s, i) { return { key: i, label: s }; })
      .sort(function (a, b) { return collator.compare(a.label, b.label); })
      .concat([{ key: -1, label: SEGMENT_OTHER }]);
    var subeVisible = function (key) {
      var m = state.api && state.api.getColumnFilterModel ? state.api.getColumnFilterModel('bolge') : null;
      if (!m || !Array.isArray(m.values)) return true;
      return key === -1 || m.values.indexOf(SUBE_BOLGE[key]) >= 0;
    };
    var defs = [
      { headerName: 'MUTA', colId: 'muta', width: 108, pinned: 'left',
        valueGetter: function (p) { return p.data ? store.muta[p.data.i] : null; },
        valueFormatter: function (p) { return text(p.value); }, comparator: compareValues,
        filter: 'agTextColumnFilter', filterParams: TEXT_FILTER,
        filterValueGetter: function (p) { return fold(text(store.muta[p.data.i])); },
        context: { kind: 'text', csv: function (i) { return text(store.muta[i]); } } },
      { headerName: 'Unvan', colId: 'unvan', width: 240, pinned: 'left',
        valueGetter: function (p) { return p.data ? store.unvan[p.data.i] : null; },
        filter: 'agTextColumnFilter', filterParams: TEXT_FILTER, comparator: compareValues,
        filterValueGetter: function (p) { return unvanFold(p.data.i); },
        tooltipValueGetter: function (p) { return p.value; },
        context: { kind: 'text', csv: function (i) { return store.unvan[i]; } } },
      choiceColumn({ headerName: 'Segment', colId: 'segment', width: 96,
        valueGetter: function (p) { return p.data ? segName(p.data.i) : null; }, comparator: compareValues,
        context: { kind: 'text', csv: segName } }, segOptions, function (i) { return store.seg[i]; }),
      amountColumn('Son risk', 'son_risk', riskOf, 'Son risk', 104)
    ];
    defs[3].headerTooltip = 'Son risk (' + UNIT + ')';
    if (D.length) {
      // The latest period next to "Son risk", older ones after it.
      var children = [];
      for (var j = LAST; j >= 0; j--) children.push(scoreColumn(j));
      defs.push({ headerName: 'KMR skor', groupId: 'kmr', children: children });
    }
    defs.push(
      choiceColumn({ headerName: 'Bölge', colId: 'bolge', width: 140,
        valueGetter: function (p) { return p.data ? bolgeName(p.data.i) : null; }, comparator: compareValues,
        context: { kind: 'text', csv: bolgeName } }, sortedOptions(BOLGE_NAMES, ''), function (i) { return store.bolge[i]; }),
      choiceColumn({ headerName: 'Şube', colId: 'sube', width: 160,
        valueGetter: function (p) { return p.data ? subeName(p.data.i) : null; }, comparator: compareValues,
        context: { kind: 'text', csv: subeName } }, sortedOptions(SUBE_NAMES, ''), function (i) { return store.sube[i]; }, subeVisible));
    [['r', 'Risk (r)'], ['rd', 'Risk değişimi (rd)'], ['df', 'Fark (df)']].forEach(function (g) {
      if (!R.length) return;
      var children = [];
      for (var k = R.length - 1; k >= 0; k--) {
        (function (m) {
          children.push(amountColumn(periodLabel(R[k]), g[0] + text(R[k]), function (i) { return seriesOf(i, m); },
                                     g[0] + ' ' + text(R[k])));
        })(SERIES.indexOf(g[0]) * R.length + k);
      }
      defs.push({ headerName: g[1] + ' — ' + UNIT, groupId: g[0], children: children });
    });
    var yesNo = [{ key: 1, label: 'Var' }, { key: 0, label: 'Yok' }];
    defs.push({
      headerName: 'Sinyaller', groupId: 'flags',
      children: FLAGS.map(function (f, i) {
        return choiceColumn({
          headerName: f.short, colId: f.key, width: 62, headerTooltip: f.label,
          valueGetter: function (p) { return p.data ? flagOf(p.data.i, i) : 0; },
          cellRenderer: function (p) {
            return p.value ? '<span class="kmr-badge kmr-badge-' + i + '" title="' + f.label + '">' + f.short + '</span>' : '';
          },
          context: { kind: 'flag', csvHeader: f.label, csv: function (r) { return flagOf(r, i); } }
        }, yesNo, function (r) { return flagOf(r, i); });
      })
    });
    defs.push({ headerName: 'Neden', colId: 'neden', width: 200, filter: 'agTextColumnFilter', filterParams: TEXT_FILTER,
      valueGetter: function (p) { return p.data ? nedenOf(p.data.i) : null; },
      filterValueGetter: function (p) { return store.nedenFold[store.neden[p.data.i]] || ''; },
      comparator: compareValues, tooltipValueGetter: function (p) { return p.value; },
      context: { kind: 'text', csv: nedenOf } });
    ['muta', 'unvan', 'segment', 'bolge', 'sube', 'neden'].forEach(function (c) { quickSearchable[c] = 1; });
    return defs;
  }

  function gridTheme() {
    var theme = agGrid.themeQuartz;
    if (agGrid.colorSchemeVariable) theme = theme.withPart(agGrid.colorSchemeVariable);
    return theme.withParams({ fontSize: 12, headerFontSize: 12, spacing: 5, rowHeight: 30 });
  }

  function createGrid(rowData) {
    var gridEl = document.getElementById('kmr-grid');
    var opts = {
      columnDefs: columnDefs(),
      rowData: rowData,
      defaultColDef: { sortable: true, resizable: true, filter: true, suppressHeaderMenuButton: true },
      localeText: LOCALE_TEXT,
      rowSelection: { mode: 'singleRow', checkboxes: false, enableClickSelection: true },
      theme: gridTheme(),
      animateRows: false,
      tooltipShowDelay: 400,
      // The first view (top_n rows) and the quick search are the page's own filter over row positions.
      isExternalFilterPresent: function () { return state.topOnly || state.mask !== null; },
      doesExternalFilterPass: function (node) {
        var i = node.data.i;
        return !(state.topOnly && i >= TOP_N) && !(state.mask !== null && !state.mask[i]);
      },
      onRowDoubleClicked: function (e) { openExternal(e.data); },
      onSelectionChanged: function (e) {
        var sel = e.api.getSelectedRows();
        state.selected = sel.length ? sel[0].i : null;
        renderDetail(state.selected, true);
        saveHash();
      },
      onCellFocused: function (e) {
        if (e.rowIndex === null || e.rowIndex === undefined || e.rowPinned) return;
        var node = e.api.getDisplayedRowAtIndex(e.rowIndex);
        if (node && node.data && node.data.i !== state.detailRow) renderDetail(node.data.i, false);
      },
      onCellKeyDown: function (e) {
        if (e.event && e.event.key === 'Enter' && e.node && e.node.data) e.node.setSelected(true, true);
      },
      onFilterChanged: onGridFilterChanged,
      onSortChanged: function () { saveHash(); },
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
    state.rowsInGrid = rowData.length;
    state.timing.gridCreated = performance.now();
    window.kmrDashboard.api = state.api;
    updateRowCount();
  }

  /**
   * The first view (top_n rows) lasts while nothing narrows the rows and "show
   * all" is off; any search or column filter looks at every row.
   */
  function wantTopOnly() {
    return TOP_N > 0 && !state.showingAll && state.mask === null && !(state.api && state.api.isColumnFilterPresent());
  }

  function onGridFilterChanged() {
    var want = wantTopOnly();
    if (want !== state.topOnly) {
      state.topOnly = want;
      state.api.onFilterChanged();
      return;
    }
    scheduleFigures();
    saveHash();
  }

  function refilter() {
    state.topOnly = wantTopOnly();
    if (state.api) state.api.onFilterChanged();
  }

  function updateRowCount() {
    var api = state.api;
    if (!api) return;
    var shown = api.getDisplayedRowCount();
    var all = state.rowsIn ? store.n : TOTAL_ROWS;
    var msg;
    if (state.topOnly) msg = fmtInt(shown) + ' / ' + fmtInt(all) + ' firma gösteriliyor (en yüksek riskli ' + fmtInt(shown) + '; arama ve filtreler tüm firmalara bakar)';
    else if (state.mask !== null || api.isColumnFilterPresent()) msg = 'Eşleşen: ' + fmtInt(shown) + ' / ' + fmtInt(all) + ' firma';
    else msg = fmtInt(shown) + ' / ' + fmtInt(all) + ' firma gösteriliyor';
    if (!state.rowsIn) msg += ' (yükleniyor)';
    document.getElementById('kmr-row-count').textContent = msg;
  }

  function setShowAll(all) {
    if (!state.api || !state.rowsIn) return;
    state.showingAll = all;
    updateShowAllButton();
    refilter();
    saveHash();
  }

  function updateShowAllButton() {
    var btn = document.getElementById('kmr-show-all');
    if (!state.rowsIn) {
      btn.disabled = true;
      btn.textContent = 'Tümünü göster (yükleniyor…)';
      btn.title = 'Tüm firmalar yüklenince açılır; arama ve filtreler şimdiden yüklenen bütün firmalara bakar.';
      return;
    }
    var limited = TOP_N > 0 && store.n > TOP_N;
    btn.disabled = !limited;
    btn.title = limited ? '' : 'Bütün firmalar zaten gösteriliyor';
    if (!limited) btn.textContent = 'Tüm firmalar gösteriliyor';
    else if (state.showingAll) btn.textContent = 'İlk ' + fmtInt(TOP_N) + ' firmayı göster';
    else btn.textContent = 'Tümünü göster (' + fmtInt(store.n) + ')';
  }

  function openExternal(row) {
    if (!EXTERNAL_LINK || !row) return;
    var muta = store.muta[row.i];
    if (muta === null || muta === undefined) return;
    window.open(EXTERNAL_LINK + encodeURIComponent(text(muta)), '_blank', 'noopener');
  }

  // ---------------------------------------------------------------- quick search

  /**
   * Rows whose MUTA, unvan, segment, region, branch or reason contains every
   * word of the query (Turkish case and diacritics folded); null for no query.
   */
  function searchMask(query) {
    var terms = fold(query).split(/\s+/).filter(function (t) { return t.length > 0; });
    if (!terms.length) return null;
    var n = store.n, acc = null;
    var segFold = SEGMENTS_LIST.map(fold).concat([fold(SEGMENT_OTHER)]);
    var bolgeFold = BOLGE_NAMES.map(fold), subeFold = SUBE_NAMES.map(fold);
    terms.forEach(function (t) {
      var m = new Uint8Array(n);
      store.chunks.forEach(function (ch) {
        var hay = ch.hay, starts = ch.starts, r = 0, pos = hay.indexOf(t);
        while (pos >= 0) {
          while (starts[r + 1] <= pos) r++;
          m[ch.base + r] = 1;
          pos = hay.indexOf(t, starts[r + 1]);
        }
      });
      var segHit = new Uint8Array(5), bHit = new Uint8Array(BOLGE_NAMES.length + 1), sHit = new Uint8Array(SUBE_NAMES.length + 1);
      var nHit = new Uint8Array(store.nedenFold.length), any = false;
      segFold.forEach(function (s, k) { if (s.indexOf(t) >= 0) { segHit[k === 4 ? 0 : k + 1] = 1; any = true; } });
      bolgeFold.forEach(function (s, k) { if (s.indexOf(t) >= 0) { bHit[k + 1] = 1; any = true; } });
      subeFold.forEach(function (s, k) { if (s.indexOf(t) >= 0) { sHit[k + 1] = 1; any = true; } });
      store.nedenFold.forEach(function (s, k) { if (s.indexOf(t) >= 0) { nHit[k] = 1; any = true; } });
      if (any) {
        var seg = store.seg, bo = store.bolge, su = store.sube, ne = store.neden, nb = BOLGE_NAMES.length, ns = SUBE_NAMES.length;
        for (var i = 0; i < n; i++) {
          if (m[i]) continue;
          var b = bo[i], s = su[i];
          if (segHit[seg[i] + 1] || (b >= 0 && b < nb && bHit[b + 1]) || (s >= 0 && s < ns && sHit[s + 1]) || nHit[ne[i]]) m[i] = 1;
        }
      }
      if (acc === null) acc = m;
      else for (var k2 = 0; k2 < n; k2++) acc[k2] &= m[k2];
    });
    return acc;
  }

  function applySearch(q) {
    state.searchText = q;
    state.mask = searchMask(q);
    refilter();
  }

  // ---------------------------------------------------------------- filters set from outside the grid

  function currentFilterModel() {
    return state.api ? state.api.getFilterModel() || {} : {};
  }

  function setFilters(model) {
    if (!state.api) return;
    state.api.setFilterModel(model);
  }

  function toggleFilter(colId, model) {
    var m = currentFilterModel();
    if (m[colId] && JSON.stringify(m[colId]) === JSON.stringify(model)) delete m[colId];
    else m[colId] = model;
    setFilters(m);
  }

  function isYiFilter(m) {
    if (!D.length) return false;
    var f = m['kmr' + text(D[LAST])];
    return !!(f && f.type === 'greaterThan' && f.filter >= 1e9);
  }

  function kpiClicked(id) {
    if (id === 'firms') { clearAll(); return; }
    if (id === 'yi') { toggleFilter('kmr' + text(D[LAST]), { filterType: 'number', type: 'greaterThan', filter: 1e9 }); return; }
    toggleFilter(id, { values: [1] });
  }

  function clearAll() {
    var search = document.getElementById('kmr-search');
    search.value = '';
    state.searchText = '';
    state.mask = null;
    if (state.api) {
      state.api.setFilterModel(null);
      refilter();
    }
  }

  // ---------------------------------------------------------------- CSV export

  function csvField(v) {
    if (v === null || v === undefined) return '';
    if (typeof v === 'number') {
      if (v !== v) return '';
      if (!isFinite(v)) return v > 0 ? 'Infinity' : '-Infinity';
      return String(v === 0 ? 0 : v);
    }
    var s = String(v);
    return /[",\r\n]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }

  /**
   * The CSV of the rows as the grid shows them (filters and sort), all columns,
   * built a slice of rows per task so the page stays responsive. Resolves to
   * the parts of the text; onProgress(done, total).
   */
  function buildCsv(onProgress, asBytes) {
    var api = state.api;
    var cols = api.getAllGridColumns().map(function (c) { return c.getColDef(); });
    var header = cols.map(function (c) {
      var cx = c.context || {};
      return csvField(cx.csvHeader || c.headerName);
    }).join(',') + '\r\n';
    var getters = cols.map(function (c) {
      var cx = c.context || {};
      if (cx.kind === 'score') return function (i) { var v = cx.csv(i); return v === -1 ? 'YI' : csvField(v); };
      return function (i) { return csvField(cx.csv(i)); };
    });
    var rows = [];
    api.forEachNodeAfterFilterAndSort(function (node) { if (node.data) rows.push(node.data.i); });
    // Encoded slice by slice when a Blob is wanted, so no single task encodes the whole text.
    var encoder = asBytes && typeof TextEncoder === 'function' ? new TextEncoder() : null;
    var parts = [encoder ? encoder.encode(header) : header], at = 0, SLICE = 2000;
    return new Promise(function (resolve, reject) {
      function step() {
        try { slice(); } catch (err) { reject(err); }
      }
      function slice() {
        var end = Math.min(rows.length, at + SLICE), lines = [];
        for (; at < end; at++) {
          var i = rows[at], cells = new Array(getters.length);
          for (var c = 0; c < getters.length; c++) cells[c] = getters[c](i);
          lines.push(cells.join(','));
        }
        if (lines.length) parts.push(lines.join('\r\n') + '\r\n');
        if (encoder) parts[parts.length - 1] = encoder.encode(parts[parts.length - 1]);
        if (onProgress) onProgress(at, rows.length);
        if (at < rows.length) setTimeout(step, 0); else resolve(parts);
      }
      step();
    });
  }

  function exportCsv() {
    if (!state.api || state.exporting) return Promise.resolve();
    var btn = document.getElementById('kmr-export');
    state.exporting = true;
    btn.disabled = true;
    state.timing.exportStart = performance.now();
    if (state.rowsIn) setStatus('');
    return Promise.resolve().then(function () {
      return buildCsv(function (done, total) {
        btn.textContent = 'CSV hazırlanıyor… %' + (total ? Math.floor(100 * done / total) : 100);
      }, true);
    }).then(function (parts) {
      var blob = new Blob([new Uint8Array([0xef, 0xbb, 0xbf])].concat(parts), { type: 'text/csv;charset=utf-8' });
      var a = document.createElement('a');
      a.href = URL.createObjectURL(blob);
      a.download = 'kmr_dashboard.csv';
      document.body.appendChild(a);
      a.click();
      a.remove();
      setTimeout(function () { URL.revokeObjectURL(a.href); }, 60000);
      state.timing.exportEnd = performance.now();
    }).catch(function (err) {
      // Nothing is downloaded: the page says so instead of a half file.
      setStatus('CSV indirilemedi: ' + (err && err.message ? err.message : String(err)));
    }).finally(function () {
      state.exporting = false;
      btn.disabled = false;
      btn.textContent = 'CSV indir';
    });
  }

  function wireToolbar() {
    var search = document.getElementById('kmr-search');
    var timer = null;
    search.addEventListener('input', function () {
      clearTimeout(timer);
      timer = setTimeout(function () { applySearch(search.value); }, 60);
    });
    search.addEventListener('keydown', function (e) {
      if (e.key === 'Enter') { clearTimeout(timer); applySearch(search.value); }
    });
    document.getElementById('kmr-show-all').addEventListener('click', function () { setShowAll(!state.showingAll); });
    document.getElementById('kmr-clear-filters').addEventListener('click', clearAll);
    document.getElementById('kmr-export').addEventListener('click', function () { exportCsv(); });
    var close = document.getElementById('kmr-detail-close');
    if (close) close.addEventListener('click', function () {
      document.getElementById('kmr-detail').classList.remove('kmr-open');
      document.body.classList.remove('kmr-detail-open');
    });
  }

  // ---------------------------------------------------------------- figures that follow the filters

  var figuresTimer = null;
  function scheduleFigures() {
    if (!state.rowsIn) return;
    clearTimeout(figuresTimer);
    figuresTimer = setTimeout(renderFigures, 0);
  }

  function renderFigures() {
    var rows = figureRows();
    renderKpis(rows);
    renderBands(rows);
    renderSankey(rows);
    renderSummary(rows);
  }

  // ---------------------------------------------------------------- bands

  var BAND_COLORS = ['#27ae60', '#f1c40f', '#e67e22', '#c0392b', '#8e44ad', '#2980b9', '#16a085', '#7f8c8d'];
  var UNSCORED = 'Skorsuz';
  var UNSCORED_COLOR = '#a0a8b0';

  /**
   * Band definitions from meta.kmr_bantlari ({"Düşük": "1-3", …, "YI": "…"}):
   * [{name, lo, hi}] and the name of the YI band; null when the scoreboard gives none.
   */
  var BANDS = (function () {
    var defs = ctx.meta && ctx.meta.kmr_bantlari;
    if (!defs || typeof defs !== 'object' || Array.isArray(defs)) return null;
    var ranges = [], yi = null;
    Object.keys(defs).forEach(function (name) {
      var m = /^\s*(-?\d+)\s*[-–]\s*(-?\d+)\s*$/.exec(String(defs[name]));
      if (m) ranges.push({ name: name, lo: +m[1], hi: +m[2] });
      else if (name.toLocaleUpperCase('tr') === 'YI') yi = name;
    });
    return ranges.length ? { ranges: ranges, yi: yi, order: Object.keys(defs) } : null;
  })();

  function bandOfScore(v) {
    if (v === -1) return BANDS.yi;
    if (v !== v) return null;
    for (var k = 0; k < BANDS.ranges.length; k++) if (v >= BANDS.ranges[k].lo && v <= BANDS.ranges[k].hi) return BANDS.ranges[k].name;
    return null;
  }

  function bandFilterModel(name) {
    if (name === UNSCORED) return { filterType: 'number', type: 'blank' };
    if (BANDS && name === BANDS.yi) return { filterType: 'number', type: 'greaterThan', filter: 1e9 };
    var r = BANDS && BANDS.ranges.filter(function (x) { return x.name === name; })[0];
    return r ? { filterType: 'number', type: 'inRange', filter: r.lo, filterTo: r.hi } : null;
  }

  function bandOrder() {
    var order = BANDS ? BANDS.order.slice() : [];
    var snap = ctx.bandSnapshot;
    if (snap && typeof snap === 'object' && !Array.isArray(snap)) Object.keys(snap).forEach(function (k) { if (order.indexOf(k) < 0) order.push(k); });
    if (Array.isArray(ctx.flowMatrix)) ctx.flowMatrix.forEach(function (f) {
      if (!f || typeof f !== 'object') return;
      [text(f.source), text(f.target)].forEach(function (b) { if (order.indexOf(b) < 0) order.push(b); });
    });
    return order;
  }

  function bandColor(name, order) {
    if (name === UNSCORED) return UNSCORED_COLOR;
    var i = order.indexOf(name);
    return BAND_COLORS[(i < 0 ? order.length : i) % BAND_COLORS.length];
  }

  function emptyNote(box, msg) {
    box.textContent = '';
    box.appendChild(el('div', 'kmr-empty', msg));
  }

  function caption(box, msg) { box.appendChild(el('div', 'kmr-chart-note', msg)); }

  /** Band counts of the latest period over rows (computed when the bands are defined), else the scoreboard's snapshot. */
  function bandData(rows) {
    var data = [];
    if (BANDS && rows && D.length) {
      var counts = new Map(), order = bandOrder(), unscored = 0;
      order.forEach(function (b) { counts.set(b, 0); });
      for (var k = 0; k < rows.length; k++) {
        var b = bandOfScore(store.score[rows[k] * D.length + LAST]);
        if (b === null) unscored++; else counts.set(b, (counts.get(b) || 0) + 1);
      }
      counts.forEach(function (v, b) { data.push({ band: b, value: v }); });
      if (unscored) data.push({ band: UNSCORED, value: unscored });
      return { data: data, computed: true, unscored: unscored };
    }
    var snap = ctx.bandSnapshot;
    if (snap && typeof snap === 'object' && !Array.isArray(snap)) {
      Object.keys(snap).forEach(function (k) {
        var v = Number(snap[k]);
        if (isFinite(v)) data.push({ band: k, value: v });
      });
    }
    return { data: data, computed: false };
  }

  function renderBands(rows) {
    var box = document.getElementById('kmr-bands');
    var bd = bandData(rows), data = bd.data;
    if (!data.length || typeof d3 === 'undefined') {
      emptyNote(box, data.length ? 'Grafik için d3 yüklenemedi.' : 'Bant dağılımı verisi yok.');
      return;
    }
    var order = bandOrder();
    var width = Math.max(box.clientWidth || 320, 260), height = 300;
    var m = { top: 18, right: 10, bottom: 28, left: 54 };
    var x = d3.scaleBand().domain(data.map(function (d) { return d.band; })).range([m.left, width - m.right]).padding(0.25);
    var y = d3.scaleLinear().domain([Math.min(0, d3.min(data, function (d) { return d.value; })),
      Math.max(1, d3.max(data, function (d) { return d.value; }))]).nice().range([height - m.bottom, m.top]);
    var svg = d3.create('svg').attr('viewBox', [0, 0, width, height]).attr('width', width).attr('height', height)
      .attr('role', 'img').attr('aria-label', 'Bant dağılımı');
    var bars = svg.append('g').selectAll('rect').data(data).join('rect')
      .attr('class', 'kmr-band-bar')
      .attr('data-band', function (d) { return d.band; })
      .attr('x', function (d) { return x(d.band); }).attr('width', x.bandwidth())
      .attr('y', function (d) { return y(Math.max(0, d.value)); })
      .attr('height', function (d) { return Math.abs(y(d.value) - y(0)); })
      .attr('fill', function (d) { return bandColor(d.band, order); });
    bars.append('title').text(function (d) { return d.band + ': ' + fmtInt(d.value) + ' firma'; });
    if (bd.computed) {
      bars.style('cursor', 'pointer').on('click', function (ev, d) {
        var fm = bandFilterModel(d.band);
        if (fm) toggleFilter('kmr' + text(D[LAST]), fm);
      });
    }
    svg.append('g').selectAll('text').data(data).join('text')
      .attr('x', function (d) { return x(d.band) + x.bandwidth() / 2; })
      .attr('y', function (d) { return y(Math.max(0, d.value)) - 4; })
      .attr('text-anchor', 'middle').attr('font-size', 11).attr('class', 'kmr-chart-text')
      .text(function (d) { return fmtInt(d.value); });
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(0,' + (height - m.bottom) + ')')
      .call(d3.axisBottom(x).tickSizeOuter(0));
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(' + m.left + ',0)')
      .call(d3.axisLeft(y).ticks(5).tickFormat(function (v) { return fmtInt(v); }));
    box.textContent = '';
    box.appendChild(svg.node());
    var sum = data.reduce(function (s, d) { return s + d.value; }, 0);
    var period = D.length ? periodLabel(D[LAST]) : '';
    if (bd.computed) {
      caption(box, period + ': ' + fmtInt(sum) + ' firma = ' + fmtInt(sum - bd.unscored) + ' skorlu + ' +
                   fmtInt(bd.unscored) + ' skorsuz. Bir çubuğa tıklayınca tablo o banda süzülür.');
    } else {
      caption(box, 'Kaynağın bant özeti (' + period + '): ' + fmtInt(sum) + ' firma; tablodaki firma sayısı ' +
                   fmtInt(store.n) + '. Bu özet filtrelerle değişmez.');
    }
  }

  // ---------------------------------------------------------------- Sankey

  function flowLinks(rows) {
    var links = [];
    if (BANDS && rows && D.length > 1) {
      var counts = new Map(), nd = D.length;
      for (var k = 0; k < rows.length; k++) {
        var i = rows[k];
        var a = bandOfScore(store.score[i * nd + LAST - 1]) || UNSCORED, b = bandOfScore(store.score[i * nd + LAST]) || UNSCORED;
        var key = a + '\u0000' + b;
        counts.set(key, (counts.get(key) || 0) + 1);
      }
      counts.forEach(function (v, key) {
        var p = key.split('\u0000');
        links.push({ source: 'S:' + p[0], target: 'T:' + p[1], from: p[0], to: p[1], value: v });
      });
      return { links: links, computed: true };
    }
    var flows = Array.isArray(ctx.flowMatrix) ? ctx.flowMatrix : [];
    flows.forEach(function (f) {
      if (!f || typeof f !== 'object') return;
      var v = Number(f.value);
      if (!isFinite(v) || v <= 0) return;
      links.push({ source: 'S:' + text(f.source), target: 'T:' + text(f.target), from: text(f.source), to: text(f.target), value: v });
    });
    return { links: links, computed: false };
  }

  function renderSankey(rows) {
    var box = document.getElementById('kmr-sankey');
    var fl = flowLinks(rows), links = fl.links;
    if (!links.length || typeof d3 === 'undefined' || typeof d3.sankey !== 'function') {
      emptyNote(box, links.length ? 'Sankey çizimi için d3 yüklenemedi.' : 'Bant geçişi verisi yok.');
      return;
    }
    var prevName = D.length > 1 ? periodLabel(D[LAST - 1]) : 'önceki dönem';
    var lastName = D.length ? periodLabel(D[LAST]) : 'son dönem';
    var order = bandOrder().concat([UNSCORED]);
    var nodes = [];
    order.forEach(function (b) {
      if (links.some(function (l) { return l.source === 'S:' + b; })) nodes.push({ id: 'S:' + b, band: b, side: prevName, left: true });
    });
    order.forEach(function (b) {
      if (links.some(function (l) { return l.target === 'T:' + b; })) nodes.push({ id: 'T:' + b, band: b, side: lastName, left: false });
    });
    links.forEach(function (l) {  // bands the order does not know yet
      if (!nodes.some(function (n) { return n.id === l.source; })) nodes.push({ id: l.source, band: l.from, side: prevName, left: true });
      if (!nodes.some(function (n) { return n.id === l.target; })) nodes.push({ id: l.target, band: l.to, side: lastName, left: false });
    });
    var width = Math.max(box.clientWidth || 640, 420), height = 300;
    var graph = d3.sankey()
      .nodeId(function (d) { return d.id; })
      .nodeWidth(14).nodePadding(12).nodeSort(null)
      .extent([[120, 22], [width - 120, height - 10]])({ nodes: nodes, links: links });
    var svg = d3.create('svg').attr('viewBox', [0, 0, width, height]).attr('width', width).attr('height', height)
      .attr('role', 'img').attr('aria-label', 'Bant geçişleri, ' + prevName + ' → ' + lastName);
    var paths = svg.append('g').selectAll('path').data(graph.links).join('path')
      .attr('class', 'kmr-sankey-link')
      .attr('d', d3.sankeyLinkHorizontal())
      .attr('stroke', function (d) { return bandColor(d.source.band, order); })
      .attr('stroke-width', function (d) { return Math.max(1, d.width); });
    paths.append('title').text(function (d) { return d.source.band + ' (' + prevName + ') → ' + d.target.band + ' (' + lastName + '): ' + fmtInt(d.value) + ' firma'; });
    if (fl.computed) {
      paths.style('cursor', 'pointer').on('click', function (ev, d) {
        var m = currentFilterModel(), a = bandFilterModel(d.source.band), b = bandFilterModel(d.target.band);
        if (a) m['kmr' + text(D[LAST - 1])] = a;
        if (b) m['kmr' + text(D[LAST])] = b;
        setFilters(m);
      });
    }
    var node = svg.append('g').selectAll('g').data(graph.nodes).join('g');
    node.append('rect')
      .attr('x', function (d) { return d.x0; }).attr('y', function (d) { return d.y0; })
      .attr('width', function (d) { return d.x1 - d.x0; })
      .attr('height', function (d) { return Math.max(1, d.y1 - d.y0); })
      .attr('fill', function (d) { return bandColor(d.band, order); })
      .append('title').text(function (d) { return d.band + ' (' + d.side + '): ' + fmtInt(d.value) + ' firma'; });
    node.append('text')
      .attr('class', 'kmr-chart-text')
      .attr('x', function (d) { return d.left ? d.x0 - 6 : d.x1 + 6; })
      .attr('y', function (d) { return (d.y0 + d.y1) / 2; })
      .attr('dy', '0.35em').attr('font-size', 12)
      .attr('text-anchor', function (d) { return d.left ? 'end' : 'start'; })
      .text(function (d) { return d.band + ' (' + fmtInt(d.value) + ')'; });
    svg.append('text').attr('class', 'kmr-chart-text kmr-sankey-period').attr('x', 4).attr('y', 12).attr('font-size', 12)
      .attr('font-weight', 600).text(prevName);
    svg.append('text').attr('class', 'kmr-chart-text kmr-sankey-period').attr('x', width - 4).attr('y', 12).attr('font-size', 12)
      .attr('font-weight', 600).attr('text-anchor', 'end').text(lastName);
    box.textContent = '';
    box.appendChild(svg.node());
    var sum = links.reduce(function (s, l) { return s + l.value; }, 0);
    if (fl.computed) caption(box, prevName + ' → ' + lastName + ': ' + fmtInt(sum) + ' firma (skoru olmayanlar "' + UNSCORED + '" olarak). Bir akışa tıklayınca tablo o firmalara süzülür.');
    else caption(box, 'Kaynağın geçiş özeti (' + prevName + ' → ' + lastName + '): ' + fmtInt(sum) + ' firma; tablodaki firma sayısı ' + fmtInt(store.n) + '. Bu özet filtrelerle değişmez.');
  }

  // ---------------------------------------------------------------- region and branch summary

  function renderSummary(rows) {
    var box = document.getElementById('kmr-summary');
    if (!box) return;
    var m = currentFilterModel();
    var regionSel = m.bolge && Array.isArray(m.bolge.values) && m.bolge.values.length === 1 ? m.bolge.values[0] : null;
    var byBranch = regionSel !== null;
    var groups = new Map(), order = bandOrder().concat([UNSCORED]);
    for (var k = 0; k < rows.length; k++) {
      var i = rows[k], key = byBranch ? store.sube[i] : store.bolge[i];
      var g = groups.get(key);
      if (!g) { g = { key: key, n: 0, risk: 0, yi: 0, bands: new Map() }; groups.set(key, g); }
      g.n++;
      var r = store.risk[i];
      if (r === r && isFinite(r)) g.risk += r;
      if (D.length) {
        var s = store.score[i * D.length + LAST];
        if (s === -1) g.yi++;
        if (BANDS) { var b = bandOfScore(s) || UNSCORED; g.bands.set(b, (g.bands.get(b) || 0) + 1); }
      }
    }
    var list = Array.from(groups.values()).sort(function (a, b) { return b.risk - a.risk || b.n - a.n; });
    var names = byBranch ? SUBE_NAMES : BOLGE_NAMES;
    box.textContent = '';
    var head = el('div', 'kmr-summary-head');
    head.appendChild(el('span', null, byBranch ? (BOLGE_NAMES[regionSel] || '(boş)') + ' — şubeler' : 'Bölgeler'));
    if (byBranch) {
      var back = el('button', 'kmr-link', '← Tüm bölgeler');
      back.type = 'button';
      back.addEventListener('click', function () {
        var fm = currentFilterModel(); delete fm.bolge; delete fm.sube; setFilters(fm);
      });
      head.appendChild(back);
    }
    box.appendChild(head);
    var table = el('table', 'kmr-summary-table');
    var thead = el('thead'), tr = el('tr');
    [byBranch ? 'Şube' : 'Bölge', 'Firma', 'Son risk (' + UNIT + ')', 'YI', 'Bant dağılımı'].forEach(function (h, ix) {
      var th = el('th', ix > 0 && ix < 4 ? 'kmr-num' : null, h); tr.appendChild(th);
    });
    thead.appendChild(tr);
    table.appendChild(thead);
    var tbody = el('tbody');
    list.forEach(function (g) {
      var row = el('tr');
      row.setAttribute('data-key', String(g.key));
      row.tabIndex = 0;
      var name = g.key >= 0 && g.key < names.length ? names[g.key] : '(boş)';
      row.appendChild(el('td', null, name || '(boş)'));
      row.appendChild(el('td', 'kmr-num', fmtInt(g.n)));
      row.appendChild(el('td', 'kmr-num', fmtAmount(g.risk)));
      row.appendChild(el('td', 'kmr-num', fmtInt(g.yi)));
      var mix = el('td'), bar = el('div', 'kmr-mix');
      if (BANDS) order.forEach(function (b) {
        var c = g.bands.get(b) || 0;
        if (!c) return;
        var seg = el('span');
        seg.style.width = (100 * c / g.n) + '%';
        seg.style.background = bandColor(b, order);
        seg.title = b + ': ' + fmtInt(c);
        bar.appendChild(seg);
      });
      mix.appendChild(bar);
      row.appendChild(mix);
      var pick = function () {
        var fm = currentFilterModel();
        if (byBranch) {
          if (fm.sube && fm.sube.values && fm.sube.values.length === 1 && fm.sube.values[0] === g.key) delete fm.sube;
          else fm.sube = { values: [g.key] };
        } else {
          fm.bolge = { values: [g.key] };
          delete fm.sube;
        }
        setFilters(fm);
      };
      row.addEventListener('click', pick);
      row.addEventListener('keydown', function (e) { if (e.key === 'Enter') pick(); });
      tbody.appendChild(row);
    });
    table.appendChild(tbody);
    box.appendChild(table);
  }

  // ---------------------------------------------------------------- firm detail

  /** Small line chart: periods on x, one line per series. opts.score: fixed integer score axis with a YI level. */
  function lineChart(periods, series, opts) {
    // The right margin holds half of the latest period's label, which sits under the last point.
    var width = 310, height = opts.score ? 150 : 130, m = { top: 10, right: 24, bottom: 22, left: 46 };
    var svg = d3.create('svg').attr('viewBox', [0, 0, width, height]).attr('width', width).attr('height', height);
    var labels = periods.map(periodLabel);
    var x = d3.scalePoint().domain(labels).range([m.left, width - m.right]).padding(0.3);
    var vals = [];
    series.forEach(function (s) { s.values.forEach(function (v) { if (typeof v === 'number' && isFinite(v) && !(opts.score && v === -1)) vals.push(v); }); });
    var y, yiLevel = null, yAxis;
    if (opts.score) {
      var lo = Math.min(1, vals.length ? Math.floor(d3.min(vals)) : 1), hi = Math.max(10, vals.length ? Math.ceil(d3.max(vals)) : 10);
      yiLevel = hi + 1;
      y = d3.scaleLinear().domain([lo, yiLevel]).range([height - m.bottom, m.top]);
      var ticks = [];
      var stepY = Math.max(1, Math.ceil((hi - lo) / 5));
      for (var t = lo; t <= hi; t += stepY) ticks.push(t);
      if (ticks[ticks.length - 1] !== hi) ticks.push(hi);
      ticks.push(yiLevel);
      yAxis = d3.axisLeft(y).tickValues(ticks).tickFormat(function (v) { return v === yiLevel ? 'YI' : fmtInt(v); });
    } else {
      var a = vals.length ? d3.min(vals) : 0, b = vals.length ? d3.max(vals) : 1;
      if (a === b) { a -= 1; b += 1; }
      y = d3.scaleLinear().domain([a, b]).nice().range([height - m.bottom, m.top]);
      yAxis = d3.axisLeft(y).ticks(4).tickFormat(function (v) { return fmtNumber(v, NF.int); });
    }
    // At most four period labels, counted back from the latest so that it is always named.
    var step = Math.ceil(labels.length / 4);
    svg.append('g').attr('class', 'kmr-axis').attr('transform', 'translate(0,' + (height - m.bottom) + ')')
      .call(d3.axisBottom(x).tickValues(labels.filter(function (l, i) { return (labels.length - 1 - i) % step === 0; })).tickSizeOuter(0));
    svg.append('g').attr('class', 'kmr-axis kmr-axis-y').attr('transform', 'translate(' + m.left + ',0)').call(yAxis);
    if (yiLevel !== null) {
      svg.append('line').attr('class', 'kmr-yi-line').attr('x1', m.left).attr('x2', width - m.right)
        .attr('y1', y(yiLevel)).attr('y2', y(yiLevel)).attr('stroke', '#c0392b').attr('stroke-dasharray', '3,3').attr('stroke-opacity', 0.5);
    }
    series.forEach(function (s) {
      var pts = s.values.map(function (v, i) { return { x: x(labels[i]), v: opts.score && v === -1 ? yiLevel : v, yi: opts.score && v === -1 }; });
      var ok = function (p) { return typeof p.v === 'number' && isFinite(p.v); };
      svg.append('path').datum(pts)
        .attr('fill', 'none').attr('stroke', s.color).attr('stroke-width', 1.8)
        .attr('d', d3.line().defined(ok).x(function (p) { return p.x; }).y(function (p) { return y(p.v); }));
      svg.append('g').selectAll('circle').data(pts.filter(ok)).join('circle')
        .attr('class', function (p) { return p.yi ? 'kmr-yi-point' : null; })
        .attr('cx', function (p) { return p.x; }).attr('cy', function (p) { return y(p.v); })
        .attr('r', function (p) { return p.yi ? 4 : 2.5; }).attr('fill', function (p) { return p.yi ? '#c0392b' : s.color; })
        .append('title').text(function (p, i) { return p.yi ? 'YI' : fmtNumber(p.v, opts.score ? NF.int : NF.amount); });
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

  /**
   * On narrow screens the detail lies over the bottom of the screen: the page
   * scrolls so that the selected row stays visible above it.
   */
  function keepSelectedRowInSight() {
    var panel = document.getElementById('kmr-detail');
    if (!panel.classList.contains('kmr-open') || getComputedStyle(panel).position !== 'fixed') return;
    var row = document.querySelector('#kmr-grid .ag-row-selected');
    if (!row) return;
    var r = row.getBoundingClientRect(), top = panel.getBoundingClientRect().top;
    if (r.bottom > top - 8) window.scrollBy(0, r.bottom - top + 8);
    else if (r.top < 0) window.scrollBy(0, r.top - 8);
  }

  function renderDetail(i, fromSelection) {
    var box = document.getElementById('kmr-detail-body');
    state.detailRow = i;
    box.textContent = '';
    if (i === null || i === undefined) {
      box.appendChild(el('div', 'kmr-empty', 'Geçmişini görmek için tablodan bir satır seçin.'));
      return;
    }
    var panel = document.getElementById('kmr-detail');
    if (fromSelection) {
      panel.classList.add('kmr-open');
      document.body.classList.add('kmr-detail-open');
      requestAnimationFrame(keepSelectedRowInSight);
    }
    var dl = el('dl');
    var flags = FLAGS.filter(function (f, k) { return flagOf(i, k); }).map(function (f) { return f.label; });
    var latest = D.length ? scoreOf(i, LAST) : null;
    [['MUTA', text(store.muta[i])], ['Unvan', store.unvan[i]], ['Segment', segName(i)],
     ['Son risk', fmtAmount(riskOf(i)) + ' ' + UNIT],
     ['Son skor', D.length ? (latest === null ? '—' : fmtScore(latest)) + ' (' + periodLabel(D[LAST]) + ')' : '—'],
     ['Bölge', bolgeName(i) || '—'], ['Şube', subeName(i) || '—'], ['Sinyaller', flags.join(', ') || '—'],
     ['Neden', nedenOf(i) || '—']]
      .forEach(function (kv) { dl.appendChild(el('dt', null, kv[0])); dl.appendChild(el('dd', null, kv[1])); });
    box.appendChild(dl);
    if (EXTERNAL_LINK) {
      var a = el('a', null, 'Firma sayfasını aç ↗');
      a.href = EXTERNAL_LINK + encodeURIComponent(text(store.muta[i]));
      a.target = '_blank';
      a.rel = 'noopener';
      box.appendChild(a);
    }
    if (typeof d3 === 'undefined') return;
    if (D.length) {
      box.appendChild(el('h3', null, 'KMR skor geçmişi'));
      var scores = D.map(function (d, j) { return scoreOf(i, j); });
      if (scores.every(function (v) { return v === null; })) box.appendChild(el('div', 'kmr-empty kmr-no-score', 'Bu firmanın hiçbir dönemde KMR skoru yok.'));
      else box.appendChild(lineChart(D, [{ name: 'skor', color: '#2c5f8a', values: scores }], { score: true }));
    }
    if (R.length) {
      box.appendChild(el('h3', null, 'Risk geçmişi (' + UNIT + ')'));
      var ser = [['r', '#2c5f8a'], ['rd', '#e67e22'], ['df', '#8e44ad']].map(function (g) {
        var first = SERIES.indexOf(g[0]) * R.length;
        return { name: g[0], color: g[1], values: R.map(function (d, j) { return seriesOf(i, first + j); }) };
      });
      if (ser.every(function (s) { return s.values.every(function (v) { return v === null; }); })) box.appendChild(el('div', 'kmr-empty', 'Bu firmanın risk geçmişi yok.'));
      else box.appendChild(lineChart(R, ser, { score: false }));
    }
  }

  // ---------------------------------------------------------------- the view in the address

  var hashGuard = false;

  function saveHash() {
    if (!state.rowsIn || hashGuard || !state.api) return;
    var p = new URLSearchParams();
    if (state.searchText) p.set('q', state.searchText);
    var fm = currentFilterModel();
    if (Object.keys(fm).length) p.set('f', JSON.stringify(fm));
    var sort = state.api.getColumnState().filter(function (c) { return c.sort; })
      .sort(function (a, b) { return (a.sortIndex || 0) - (b.sortIndex || 0); })
      .map(function (c) { return c.colId + '.' + c.sort; });
    if (sort.length) p.set('s', sort.join(','));
    if (state.selected !== null && state.selected !== undefined) p.set('sel', text(store.muta[state.selected]));
    if (state.showingAll) p.set('all', '1');
    var h = p.toString();
    if (('#' + h) !== location.hash && !(h === '' && location.hash === '')) {
      history.replaceState(null, '', h ? '#' + h : location.pathname + location.search);
    }
  }

  function loadHash() {
    if (!state.api) return;
    var p = new URLSearchParams(location.hash.replace(/^#/, ''));
    hashGuard = true;
    try {
      state.showingAll = p.get('all') === '1';
      updateShowAllButton();
      var q = p.get('q') || '';
      document.getElementById('kmr-search').value = q;
      state.searchText = q;
      state.mask = searchMask(q);
      var fm = null;
      try { fm = p.get('f') ? JSON.parse(p.get('f')) : null; } catch (err) { fm = null; }
      state.api.setFilterModel(fm && typeof fm === 'object' ? fm : null);
      var sort = (p.get('s') || '').split(',').filter(Boolean).map(function (s, k) {
        var at = s.lastIndexOf('.');
        return { colId: s.slice(0, at), sort: s.slice(at + 1) === 'desc' ? 'desc' : 'asc', sortIndex: k };
      });
      state.api.applyColumnState({ state: sort, defaultState: { sort: null } });
      refilter();
      var sel = p.get('sel');
      if (sel !== null) selectFirm(sel, false);
    } finally {
      hashGuard = false;
    }
  }

  /** Selects the firm with this MUTA text (if the current view holds it) and shows its row. */
  function selectFirm(mutaText, reveal) {
    var found = null;
    state.api.forEachNodeAfterFilterAndSort(function (node) {
      if (found === null && node.data && text(store.muta[node.data.i]) === mutaText) found = node;
    });
    if (!found) return false;
    found.setSelected(true, true);
    state.api.ensureNodeVisible(found, 'middle');
    if (reveal) document.getElementById('kmr-grid').scrollIntoView({ block: 'nearest' });
    return true;
  }

  function wireTrending() {
    var section = document.getElementById('kmr-trending-section');
    if (!section) return;
    section.addEventListener('click', function (e) {
      var tr = e.target.closest && e.target.closest('tbody tr');
      if (!tr || !tr.cells.length) return;
      var muta = tr.cells[0].textContent.trim();
      var search = document.getElementById('kmr-search');
      search.value = muta;
      applySearch(muta);
      selectFirm(muta, true);
    });
    Array.prototype.forEach.call(section.querySelectorAll('tbody tr'), function (tr) {
      tr.style.cursor = 'pointer';
      tr.title = 'Tabloda göster';
    });
  }

  // ---------------------------------------------------------------- print and colour scheme

  var NUMBER_OPS = { equals: '=', notEqual: '≠', lessThan: '<', greaterThan: '>', lessThanOrEqual: '≤',
                     greaterThanOrEqual: '≥' };
  var TEXT_OPS = { contains: 'içerir', notContains: 'içermez', equals: 'eşittir', notEqual: 'eşit değil',
                   startsWith: 'ile başlar', endsWith: 'ile biter' };

  /** The active column filters for readers: "Segment: KOBI", "KMR skor Ara 2024: YI", "Son risk ≥ 2,5". */
  function filterTexts() {
    var fm = currentFilterModel(), out = [];
    Object.keys(fm).forEach(function (k) {
      var m = fm[k], col = state.api.getColumn(k);
      if (!m || !col) return;
      var def = col.getColDef(), group = col.getParent && col.getParent();
      var name = def.headerName || k;
      if (group && group.getColGroupDef && group.getColGroupDef()) name = group.getColGroupDef().headerName + ' ' + name;
      var kind = def.context && def.context.kind, t;
      if (Array.isArray(m.values)) {
        var labels = new Map((def.filterParams.options || []).map(function (o) { return [o.key, o.label === '' ? '(boş)' : o.label]; }));
        t = name + ': ' + (m.values.length ? m.values.map(function (v) { return labels.has(v) ? labels.get(v) : String(v); }).join(', ') : 'hiçbiri');
      } else if (m.type === 'blank' || m.type === 'notBlank') {
        t = name + ': ' + (m.type === 'blank' ? 'boş' : 'boş değil');
      } else if (m.filterType === 'number') {
        var num = function (v) {
          if (kind === 'score') return v >= 1e9 ? 'YI' : fmtNumber(v, new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 2 }));
          return fmtNumber(v, new Intl.NumberFormat('tr-TR', { maximumFractionDigits: 4 }));
        };
        if (kind === 'score' && m.type === 'greaterThan' && m.filter >= 1e9) t = name + ': YI';
        else if (m.type === 'inRange') t = name + ': ' + num(m.filter) + ' – ' + num(m.filterTo);
        else t = name + ' ' + (NUMBER_OPS[m.type] || m.type) + ' ' + num(m.filter);
      } else {
        t = name + ' ' + (TEXT_OPS[m.type] || m.type) + ' "' + text(m.filter) + '"';
      }
      out.push(t);
    });
    return out;
  }

  function fillPrintTable() {
    var box = document.getElementById('kmr-print');
    if (!box || !state.api) return;
    box.textContent = '';
    var desc = [];
    if (state.searchText) desc.push('Arama: "' + state.searchText + '"');
    desc = desc.concat(filterTexts());
    box.appendChild(el('p', null, (desc.join(' · ') || 'Filtre yok') + ' — ' + document.getElementById('kmr-row-count').textContent));
    var table = el('table'), head = el('tr');
    var cols = ['MUTA', 'Unvan', 'Segment', 'Son risk (' + UNIT + ')'].concat(D.length ? ['KMR ' + periodLabel(D[LAST])] : []).concat(['Bölge', 'Şube']);
    cols.forEach(function (c) { head.appendChild(el('th', null, c)); });
    table.appendChild(head);
    var k = 0;
    state.api.forEachNodeAfterFilterAndSort(function (node) {
      if (k++ >= 40 || !node.data) return;
      var i = node.data.i, tr = el('tr');
      [text(store.muta[i]), store.unvan[i], segName(i), fmtAmount(riskOf(i))]
        .concat(D.length ? [fmtScore(scoreOf(i, LAST))] : []).concat([bolgeName(i), subeName(i)])
        .forEach(function (v) { tr.appendChild(el('td', null, v)); });
      table.appendChild(tr);
    });
    box.appendChild(table);
  }

  function followColorScheme() {
    var mq = window.matchMedia ? window.matchMedia('(prefers-color-scheme: dark)') : null;
    var set = function () { document.body.setAttribute('data-ag-theme-mode', mq && mq.matches ? 'dark' : 'light'); };
    set();
    if (mq && mq.addEventListener) mq.addEventListener('change', set);
  }

  // ---------------------------------------------------------------- loading

  function setStatus(msg) {
    var s = document.getElementById('kmr-load-status');
    if (s) s.textContent = msg;
  }

  function showProgress() {
    var bar = document.getElementById('kmr-progress');
    var total = Math.max(TOTAL_ROWS, store.n);
    var n = state.rowsInGrid;
    if (bar) { bar.max = Math.max(total, 1); bar.value = n; bar.hidden = state.rowsIn; }
    if (!state.rowsIn) setStatus('Yükleniyor: ' + fmtInt(n) + ' / ' + fmtInt(total) + ' firma (%' + (total ? Math.floor(100 * n / total) : 100) + ')');
  }

  function fail(err) {
    state.errors.push(err);
    setStatus('Hata: ' + (err && err.message ? err.message : err));
  }

  function guard(fn) {
    return function () {
      try { return fn.apply(this, arguments); } catch (err) { fail(err); throw err; }
    };
  }

  var decoder = (function () {
    var worker = null, results = new Map(), nextIn = 0, sent = 0;
    try {
      if (typeof Worker === 'function' && typeof Blob === 'function' && window.URL && URL.createObjectURL) {
        var src = 'var KD = (' + kmrDecoder.toString() + ')();\n' +
          'onmessage = function (e) { var out = KD.decode(e.data.rows, e.data.layout); out.index = e.data.index; postMessage(out, KD.transfers(out)); };';
        var url = URL.createObjectURL(new Blob([src], { type: 'text/javascript' }));
        worker = new Worker(url);
        worker.onmessage = function (e) { results.set(e.data.index, e.data); drain(); };
        worker.onerror = function (e) {
          e.preventDefault && e.preventDefault();
          if (nextIn === 0 && sent > 0 && !results.size) { worker = null; fallbackAll(); } else fail(new Error(e.message || 'çözümleyici hatası'));
        };
      }
    } catch (err) {
      worker = null;
    }
    var pending = [];  // chunks kept for the main-thread fallback until their rows are in
    function fallbackAll() {
      pending.forEach(function (p) { if (!results.has(p.index)) setTimeout(function () { decodeHere(p); }, 0); });
    }
    function decodeHere(p) {
      try { var out = DEC.decode(p.rows, LAYOUT); out.index = p.index; results.set(p.index, out); drain(); } catch (err) { fail(err); }
    }
    function drain() {
      while (results.has(nextIn)) {
        var c = results.get(nextIn);
        results.delete(nextIn);
        pending = pending.filter(function (p) { return p.index !== nextIn; });
        nextIn++;
        try { chunkDecoded(c); } catch (err) { fail(err); }
      }
      maybeFinish();
    }
    return {
      /** Decodes rows on this thread now (the few rows of the first view). */
      here: function (index, rows) {
        sent++;
        decodeHere({ index: index, rows: rows });
      },
      send: function (index, rows) {
        var p = { index: index, rows: rows };
        sent++;
        if (worker) {
          pending.push(p);
          worker.postMessage({ index: index, rows: rows, layout: LAYOUT });
        } else {
          setTimeout(function () { decodeHere(p); }, 0);
        }
      },
      idle: function () { return nextIn === sent; },
      close: function () { if (worker) worker.terminate(); worker = null; pending = []; }
    };
  })();

  function chunkDecoded(c) {
    var handles = addDecoded(c);
    state.chunksIn++;
    if (!state.api) {
      // The grid starts with the rows of the first view; the rest follow a task later.
      state.timing.firstChunk = performance.now();
      var first = Math.min(handles.length, Math.max(TOP_N, 100));
      createGrid(handles.slice(0, first));
      if (first < handles.length) { state.pendingAdds.push(handles.slice(first)); scheduleAdds(); }
    } else if (handles.length) {
      state.pendingAdds.push(handles);
      scheduleAdds();
    }
    showProgress();
  }

  /** Rows are handed to the grid in their own tasks, at most one chunk's worth at a time. */
  var addsTimer = null;
  function scheduleAdds() {
    if (addsTimer === null) addsTimer = setTimeout(runAdds, 0);
  }
  function runAdds() {
    addsTimer = null;
    var batch = state.pendingAdds.shift();
    if (batch) {
      try { state.api.applyTransaction({ add: batch }); } catch (err) { fail(err); }
      state.rowsInGrid += batch.length;
      showProgress();
    }
    if (state.pendingAdds.length) scheduleAdds(); else maybeFinish();
  }

  function maybeFinish() {
    if (state.rowsIn || !state.allSent || !decoder.idle() || state.pendingAdds.length || addsTimer !== null) return;
    decoder.close();
    state.rowsIn = true;
    if (!state.api) createGrid([]);
    state.timing.allRows = performance.now();
    updateShowAllButton();
    showProgress();
    setStatus('');
    // The figures, the address state and "ready" each in their own task.
    setTimeout(function () {
      try { renderFigures(); } catch (err) { fail(err); }
      setTimeout(function () {
        // A view in the address wins; otherwise a search typed while loading now covers every row.
        try { if (location.hash.length > 1) loadHash(); else if (state.searchText) applySearch(state.searchText); } catch (err) { fail(err); }
        updateRowCount();
        state.readyAt = performance.now();
        state.done = true;
        document.body.setAttribute('data-state', 'ready');
      }, 0);
    }, 0);
  }

  window.kmrDashboard = {
    state: state,
    store: store,
    api: null,
    context: ctx,
    csvText: function () { return state.api ? buildCsv().then(function (parts) { return parts.join(''); }) : Promise.resolve(''); },
    exportCsv: exportCsv,
    search: function (q) { document.getElementById('kmr-search').value = q; applySearch(q); },
    showAll: function (all) { setShowAll(all !== false); },
    fold: fold,
    parseNumber: parseTrNumber
  };

  var started = false;
  function start() {
    if (started) return;
    started = true;
    document.body.setAttribute('data-state', 'loading');
    followColorScheme();
    renderHeader();
    renderKpis(null);
    wireToolbar();
    wireTrending();
    updateShowAllButton();
    showProgress();
    window.addEventListener('beforeprint', fillPrintTable);
    window.addEventListener('hashchange', function () { if (state.rowsIn && !hashGuard) loadHash(); });
  }

  /** One chunk: its rows as an array (older pages) or, without one, the text of the data block kmr-chunk-N. */
  var pieces = 0;  // pieces handed to the decoder, in row order

  /**
   * Where the JSON text of a list of rows can be cut after its first `count`
   * rows: the position of the comma that follows that row, or -1.
   */
  function cutAfterRows(textRows, count) {
    var depth = 0, inString = false, rows = 0;
    for (var k = 0; k < textRows.length; k++) {
      var c = textRows.charCodeAt(k);
      if (inString) {
        if (c === 92) k++;            // backslash: skip the escaped character
        else if (c === 34) inString = false;
      } else if (c === 34) inString = true;
      else if (c === 91) depth++;     // [
      else if (c === 93) {            // ]
        depth--;
        if (depth === 1 && ++rows === count) {
          var at = textRows.indexOf(',', k);
          return at;
        }
      }
    }
    return -1;
  }

  /** One chunk: its rows as an array (older pages) or, without one, the text of the data block kmr-chunk-N. */
  window.kmrChunk = guard(function (index, rows) {
    start();
    state.chunksSeen++;
    if (rows === undefined) {
      var block = document.getElementById('kmr-chunk-' + index);
      rows = block ? block.textContent : '[]';
      if (block) block.remove();
      if (pieces === 0 && typeof rows === 'string') {
        // The rows of the first view are decoded here and now, so they show
        // without waiting for the worker; the rest of the chunk goes to it.
        var cut = cutAfterRows(rows, Math.max(TOP_N, 100));
        if (cut > 0) {
          decoder.here(pieces++, rows.slice(0, cut) + ']');
          rows = '[' + rows.slice(cut + 1);
        }
      }
    }
    decoder.send(pieces++, rows);
  });

  window.kmrDone = guard(function () {
    start();
    state.allSent = true;
    maybeFinish();
  });
})();
