(function () {
  "use strict";
  // The report's only script: sorting, images that fail to load, and the
  // matches of a search drawn (from the inert JSON beside it) when it is
  // opened. It writes text only through textContent and links only when
  // they are http(s).
  var d = document;
  d.documentElement.classList.add("js");
  d.addEventListener("error", function (e) {
    var t = e.target;
    if (t && t.tagName === "IMG" && t.parentNode) t.parentNode.classList.add("broken");
  }, true);

  // One match, as the page keeps it: the fields in this order.
  var F = {rank: 0, title: 1, link: 2, image: 3, merchant: 4, category: 5, price: 6, amount: 7, currency: 8,
    stock: 9, pageType: 10, brand: 11, sku: 12, condition: 13, score: 14, relevance: 15, outcome: 16, detail: 17};
  var CATEGORIES = {official_brand: 1, major_marketplace: 1, reseller_specialist: 1, unverified: 1};

  function cut(s, n) {
    if (s.length <= n) return [s, false];
    var a = Array.from(s);
    if (a.length <= n) return [s, false];
    return [a.slice(0, n - 1).join("") + "\u2026", true];
  }
  function el(tag, cls, text) {
    var e = d.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = text;
    return e;
  }
  function put(e, s, n) {
    var c = cut(s, n);
    e.textContent = c[0];
    if (c[1]) e.title = s;
    return e;
  }
  function web(u) { return typeof u === "string" && /^https?:\/\//i.test(u); }
  function anchor(u) {
    var a = el("a");
    a.href = u;
    a.rel = "noopener noreferrer nofollow";
    return a;
  }
  function shown(v) { return v == null ? "-" : String(v); }

  function card(m) {
    var li = el("li", "card");
    li.dataset.rank = m[F.rank];
    if (m[F.score] != null) li.dataset.score = m[F.score];
    if (m[F.amount] != null) { li.dataset.price = m[F.amount]; li.dataset.cur = shown(m[F.currency]); }
    var pic = el("div", "pic");
    if (web(m[F.image])) {
      var img = el("img");
      img.alt = "";
      img.loading = "lazy";
      img.referrerPolicy = "no-referrer";
      img.decoding = "async";
      img.src = m[F.image];
      pic.appendChild(img);
    }
    li.appendChild(pic);
    var info = el("div", "info");
    var h = el("h3", "title");
    h.appendChild(el("span", "rank", "#" + m[F.rank]));
    var title = m[F.title] || "(no title)";
    var t = web(m[F.link]) ? anchor(m[F.link]) : el("span");
    h.appendChild(put(t, title, 160));
    info.appendChild(h);
    var who = el("p", "who");
    who.appendChild(put(el("span", "merchant"), m[F.merchant] == null ? "unknown merchant" : m[F.merchant], 80));
    var cat = m[F.category];
    who.appendChild(put(el("span", "cat c-" + (CATEGORIES[cat] ? cat : "none")), cat == null ? "no category" : cat, 40));
    info.appendChild(who);
    var price = el("p", "price");
    price.appendChild(put(el("b"), m[F.price] == null ? "no price" : m[F.price], 60));
    if (m[F.stock] != null) price.appendChild(put(el("span", "stock s-" + String(m[F.stock]).replace(/[^a-z_]/g, "")), m[F.stock], 40));
    info.appendChild(price);
    var facts = el("dl", "facts");
    var rows = [["Page type", m[F.pageType]], ["Brand", m[F.brand]], ["SKU", m[F.sku]], ["Condition", m[F.condition]],
      ["Score", m[F.score] == null ? null : m[F.score] + "%"], ["Relevance", m[F.relevance]]];
    rows.forEach(function (r) {
      var div = el("div");
      div.appendChild(el("dt", null, r[0]));
      div.appendChild(put(el("dd"), shown(r[1]), 60));
      facts.appendChild(div);
    });
    var o = el("div");
    o.appendChild(el("dt", null, "Page"));
    var label = m[F.outcome];
    var dd = put(el("dd", label == null ? "o-unknown" : label === "read" ? "o-read" : "o-not"),
      label == null ? "unknown" : label, 40);
    if (m[F.detail] != null) dd.title = m[F.detail];
    o.appendChild(dd);
    facts.appendChild(o);
    info.appendChild(facts);
    var p = el("p", "link");
    if (web(m[F.link])) p.appendChild(put(anchor(m[F.link]), m[F.link], 90));
    else p.appendChild(put(el("span", "bare"), shown(m[F.link]), 90));
    info.appendChild(p);
    li.appendChild(info);
    return li;
  }

  function num(v, missing) { var n = parseFloat(v); return isNaN(n) ? missing : n; }
  function order(key) {
    return function (a, b) {
      var ra = num(a.dataset.rank, 0), rb = num(b.dataset.rank, 0);
      if (key === "score") return num(b.dataset.score, -1) - num(a.dataset.score, -1) || ra - rb;
      if (key === "price") {
        var pa = a.dataset.price, pb = b.dataset.price;
        if ((pa == null) !== (pb == null)) return pa == null ? 1 : -1;
        if (pa != null) {
          var ca = a.dataset.cur || "", cb = b.dataset.cur || "";
          if (ca !== cb) return ca < cb ? -1 : 1;
          return num(pa, 0) - num(pb, 0) || ra - rb;
        }
      }
      return ra - rb;
    };
  }
  function sorter() {
    var bar = el("div", "sorter");
    bar.appendChild(el("span", "note", "Sort by"));
    [["rank", "Rank"], ["score", "Score"], ["price", "Price"]].forEach(function (k, i) {
      var b = el("button", null, k[1]);
      b.type = "button";
      b.dataset.sort = k[0];
      b.setAttribute("aria-pressed", i === 0 ? "true" : "false");
      bar.appendChild(b);
    });
    return bar;
  }
  d.addEventListener("click", function (e) {
    var b = e.target.closest && e.target.closest(".sorter button");
    if (!b) return;
    var bar = b.parentNode, list = bar.nextElementSibling;
    if (!list) return;
    var items = Array.prototype.slice.call(list.children);
    items.sort(order(b.dataset.sort));
    items.forEach(function (li) { list.appendChild(li); });
    bar.querySelectorAll("button").forEach(function (x) { x.setAttribute("aria-pressed", x === b ? "true" : "false"); });
  });
  d.addEventListener("toggle", function (e) {
    var s = e.target;
    if (!s.classList || !s.classList.contains("search") || !s.open || s.dataset.drawn) return;
    s.dataset.drawn = "1";
    var data = s.querySelector("script.matches");
    var body = s.querySelector(".body");
    if (!data || !body) return;
    var matches;
    try { matches = JSON.parse(data.textContent); } catch (err) { body.appendChild(el("p", "err", "unreadable matches")); return; }
    if (!matches.length) return;
    var list = el("ol", "cards");
    matches.forEach(function (m) { list.appendChild(card(m)); });
    body.appendChild(sorter());
    body.appendChild(list);
  }, true);
  d.addEventListener("DOMContentLoaded", function () {
    d.querySelectorAll("ol.cards[data-sortable]").forEach(function (list) {
      list.parentNode.insertBefore(sorter(), list);
    });
  });
})();
