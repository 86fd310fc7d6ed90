// Some servers send files without a content type; a browser then refuses to
// run them as modules, and the page would sit there without a word. This
// classic script runs after the page's module has run or failed: when it
// failed, it says why. (It does not run the modules some other way: the page's
// policy allows scripts from its own files only.)
(function () {
  'use strict';
  if (window.zelt2) return;
  var box = document.getElementById('message');
  box.textContent = 'The page could not run its scripts. Its web server must send them with the type ' +
    'text/javascript (a server that sends no content type, such as the broker\'s own, cannot serve this page).';
  box.hidden = false;
  document.getElementById('connect').disabled = true;
})();
