// Some servers send files without a content type; a browser then refuses to
// run them as modules. This classic script runs after the page's module has
// run or failed: when it failed, it fetches the modules itself and runs them
// from blob URLs of the right type, each import pointed at its module's blob.
(function () {
  'use strict';
  if (window.zelt2) return;
  var cache = new Map();

  function resolve(base, spec) {
    var parts = (base + spec).split('/');
    var out = [];
    parts.forEach(function (p) {
      if (p === '..') out.pop();
      else if (p !== '.') out.push(p);
    });
    return out.join('/');
  }

  function load(path) {
    if (cache.has(path)) return cache.get(path);
    var done = fetch(path, { cache: 'no-cache' }).then(function (r) {
      if (!r.ok) throw new Error(path + ': ' + r.status);
      return r.text();
    }).then(function (text) {
      var base = path.slice(0, path.lastIndexOf('/') + 1);
      var re = /(\bfrom\s*|\bimport\s*)(['"])(\.{1,2}\/[^'"]+)\2/g;
      var specs = [];
      var m;
      while ((m = re.exec(text)) !== null) specs.push(m[3]);
      return Promise.all(specs.map(function (s) { return load(resolve(base, s)); })).then(function (urls) {
        specs.forEach(function (s, i) {
          text = text.split("'" + s + "'").join("'" + urls[i] + "'").split('"' + s + '"').join('"' + urls[i] + '"');
        });
        return URL.createObjectURL(new Blob([text], { type: 'text/javascript' }));
      });
    });
    cache.set(path, done);
    return done;
  }

  load('app.js').then(function (url) { return import(url); }).catch(function (e) {
    var box = document.getElementById('message');
    box.textContent = 'The page could not load its scripts (' + e.message + ').';
    box.hidden = false;
  });
})();
