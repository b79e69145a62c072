// The pages' texts, from the browser's own catalogue (_locales/LANG/messages.json) in the
// browser's language, English where it has none of ours. Elements name their text by key:
// data-i18n (the text), data-i18n-placeholder, data-i18n-label (aria-label).

// t: the text of `key`, with `values` in its placeholders ($1, $2... in the catalogue).
function t(key, ...values) {
  return chrome.i18n.getMessage(key, values.map(String));
}

function localize(root = document) {
  for (const element of root.querySelectorAll('[data-i18n]')) element.textContent = t(element.dataset.i18n);
  for (const element of root.querySelectorAll('[data-i18n-placeholder]')) {
    element.placeholder = t(element.dataset.i18nPlaceholder);
  }
  for (const element of root.querySelectorAll('[data-i18n-label]')) {
    element.setAttribute('aria-label', t(element.dataset.i18nLabel));
  }
}

// The language of the texts shown, not of the browser: a browser in a language we have no
// catalogue for shows English, and its screen reader should read it as English.
const LANGUAGE = t('languageTag') || 'en';
document.documentElement.lang = LANGUAGE;
localize();
