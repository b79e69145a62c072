// The extension's catalogues: every key its pages, scripts and manifest use is in every language,
// the languages hold the same keys with the same placeholders, each call gives a placeholder a
// value, and the pages carry no text of their own outside the catalogues.
import assert from 'node:assert/strict';
import {readdirSync, readFileSync} from 'node:fs';
import {dirname, join} from 'node:path';
import {test} from 'node:test';
import {fileURLToPath} from 'node:url';

const extension = join(dirname(fileURLToPath(import.meta.url)), '../../web/extension');
const read = (name) => readFileSync(join(extension, name), 'utf8');
const locales = Object.fromEntries(readdirSync(join(extension, '_locales')).map((lang) =>
  [lang, JSON.parse(read(`_locales/${lang}/messages.json`))]));
const pages = readdirSync(extension).filter((f) => f.endsWith('.html'));
const scripts = ['i18n.js', 'consent.js', 'options.js'];
const manifest = JSON.parse(read('manifest.json'));

// The keys a script names: t('key', ...) with its count of values, t(cond ? 'a' : 'b'), and the
// values of the key tables (const NAME = {...: 'key'}) that feed t().
function scriptKeys(text) {
  const source = text.replace(/^\s*\/\/.*$/gm, '');
  const uses = [];
  for (const match of source.matchAll(/\bt\(/g)) {
    let depth = 1;
    let i = match.index + 2;
    const commas = [];
    for (let quote = null; depth > 0 && i < source.length; i++) {
      const c = source[i];
      if (quote) {
        if (c === '\\') i++;
        else if (c === quote) quote = null;
      } else if (c === '\'' || c === '"' || c === '`') quote = c;
      else if (c === '(' || c === '[' || c === '{') depth++;
      else if (c === ')' || c === ']' || c === '}') depth--;
      else if (c === ',' && depth === 1) commas.push(i);
    }
    const first = source.slice(match.index + 2, commas[0] ?? i - 1);
    const keys = [...first.matchAll(/'([A-Za-z0-9_@]+)'/g)].map((m) => m[1]);
    // i18n.js's own pass-through of the pages' keys, and lookups in the key tables read below.
    if (/^\s*(element\.dataset|key\s*$)/.test(first) || (/^[A-Z_]+\[/.test(first) && !keys.length)) continue;
    assert.ok(keys.length, `t(${first}) names no key`);
    for (const key of keys) uses.push({key, values: commas.length, where: source.slice(match.index, i)});
  }
  for (const table of source.matchAll(/^const [A-Z_]+ = \{([^}]*)\};/gms)) {
    for (const m of table[1].matchAll(/:\s*'([A-Za-z0-9_@]+)'/g)) uses.push({key: m[1], values: null, where: table[0]});
  }
  return uses;
}

const used = [];
for (const page of pages) {
  for (const m of read(page).matchAll(/data-i18n(?:-[a-z]+)?="([^"]*)"/g)) used.push({key: m[1], values: 0, where: page});
}
for (const script of scripts) used.push(...scriptKeys(read(script)));
for (const value of [manifest.name, manifest.description]) {
  const m = /^__MSG_(\w+)__$/.exec(value);
  assert.ok(m, `the manifest's "${value}" is not from the catalogue`);
  used.push({key: m[1], values: 0, where: 'manifest.json'});
}

const placeholders = (entry) => Object.keys(entry.placeholders ?? {}).map((p) => p.toLowerCase()).sort();

test('the manifest names a default language that has a catalogue', () => {
  assert.equal(manifest.default_locale, 'en');
  assert.ok(locales.en && locales.zh_CN, Object.keys(locales).join(' '));
});

test('every key used is in every language, with a value for each placeholder', () => {
  assert.ok(used.length > 60, `only ${used.length} uses found`);
  for (const [lang, messages] of Object.entries(locales)) {
    for (const {key, values, where} of used) {
      assert.ok(messages[key], `${lang} has no "${key}" (${where})`);
      if (values !== null) assert.equal(values, placeholders(messages[key]).length, `${lang} "${key}" in ${where}`);
    }
  }
  const unused = Object.keys(locales.en).filter((key) => !used.some((u) => u.key === key));
  assert.deepEqual(unused, [], 'keys nothing uses');
});

test('the languages hold the same keys and the same placeholders, each one used', () => {
  for (const [lang, messages] of Object.entries(locales)) {
    assert.deepEqual(Object.keys(messages).sort(), Object.keys(locales.en).sort(), lang);
    const lower = Object.keys(messages).map((k) => k.toLowerCase());
    assert.equal(new Set(lower).size, lower.length, `${lang}: keys differing only in case (the browsers fold them)`);
    for (const [key, entry] of Object.entries(messages)) {
      assert.match(key, /^[A-Za-z0-9_@]+$/, `${lang} "${key}"`);
      assert.equal(typeof entry.message, 'string', `${lang} "${key}"`);
      assert.notEqual(entry.message.trim(), '', `${lang} "${key}" is empty`);
      assert.deepEqual(placeholders(entry), placeholders(locales.en[key]), `${lang} "${key}" placeholders`);
      assert.deepEqual(Object.values(entry.placeholders ?? {}).map((p) => p.content),
                       Object.values(locales.en[key].placeholders ?? {}).map((p) => p.content), `${lang} "${key}"`);
      const inText = [...entry.message.matchAll(/\$([A-Za-z0-9_@]+)\$/g)].map((m) => m[1].toLowerCase()).sort();
      assert.deepEqual([...new Set(inText)], placeholders(entry), `${lang} "${key}": ${entry.message}`);
      assert.doesNotMatch(entry.message.replace(/\$[A-Za-z0-9_@]+\$/g, ''), /\$/, `${lang} "${key}": a stray $`);
    }
  }
  // A Chinese text that is the English one was left untranslated (names and formats apart).
  const same = Object.keys(locales.en).filter((k) => locales.zh_CN[k].message === locales.en[k].message);
  assert.deepEqual(same.sort(), ['extensionName', 'labelSha256', 'originExample']);
});

test('the pages hold no text of their own: every visible text and attribute comes from a key', () => {
  for (const page of pages) {
    const html = read(page).replace(/<script[\s\S]*?<\/script>/g, '').replace(/<style[\s\S]*?<\/style>/g, '');
    const body = html.slice(html.indexOf('<html'));
    for (const m of body.matchAll(/>([^<]*)</g)) {
      assert.equal(m[1].trim(), '', `${page}: literal text "${m[1].trim()}"`);
    }
    for (const tag of body.matchAll(/<[a-z][^>]*>/g)) {
      for (const attr of ['placeholder', 'title', 'aria-label', 'alt', 'value']) {
        assert.doesNotMatch(tag[0], new RegExp(`\\s${attr}="`), `${page}: literal ${attr} in ${tag[0]}`);
      }
    }
    assert.match(read(page), /<script src="i18n\.js"><\/script>/, `${page} does not fill its texts`);
  }
});
