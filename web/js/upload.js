// Uploads into the current folder, drop targets, the folders, and the
// question asked before anything takes a name that is in use.
import { upload, getCurdir, inCurdir, namesIn, tree } from './api.js';
import { treeNodes, showPercent } from './parse.js';
import { el, $, setText, plain, choose, bar, note, t } from './ui.js';

/** `target` (a path below the top folder), or another free name for it, or
 *  null: the user is asked when its folder has an entry of that name now. */
export async function settle(target, taken) {
  const at = target.lastIndexOf('/');
  const dir = at < 0 ? '/' : '/' + target.slice(0, at), name = target.slice(at + 1);
  try { taken = taken || (await namesIn(dir)); } catch (e) { note(e.message); return null; }
  if (!taken) { note(t('The folder {dir} is gone.', { dir })); return null; }
  if (!taken.has(name)) return target;
  const other = freeName(name, taken);
  const answer = await choose({
    title: t('{name} already exists', { name }),
    text: t('The folder {dir} already holds {name}. Replace it, or keep both and name the new one {other}?', { dir, name, other }),
    choices: [['replace', t('Replace'), 'danger'], ['both', t('Keep both'), 'primary']],
  });
  if (answer === 'replace') return target;
  return answer === 'both' ? target.slice(0, at + 1) + other : null;
}

/** "photo (1).jpg": the first such name not taken. */
function freeName(name, taken) {
  const [, stem, ext = ''] = /^(.+?)((?:\.tar)?\.[A-Za-z0-9]{1,8})?$/.exec(name) || [null, name];
  for (let n = 1; ; n++) {
    const candidate = `${stem} (${n})${ext}`;
    if (!taken.has(candidate)) return candidate;
  }
}

/** Uploads into the current folder, each shown with its progress; `stored`
 *  is called as each arrives. Resolves to the paths stored. */
export async function uploadFiles(files, stored = () => {}) {
  const dir = getCurdir();
  let taken;
  try { taken = await namesIn(dir); } catch (e) { note(e.message); return []; }
  const sent = [];
  for (const file of files) {
    const target = await settle(inCurdir(file.name), taken);
    if (!target) continue;
    const name = target.slice(target.lastIndexOf('/') + 1);
    taken.add(name); // two of one name in one choice
    sent.push(send(file, name, dir).then(() => { stored(); return target; }, () => null));
  }
  return (await Promise.all(sent)).filter(Boolean);
}

/** One upload with its line in the list of uploads. */
function send(file, name, dir) {
  const b = bar(t('Upload of {name}', { name }));
  const state = el('span', { class: 'figures', text: t('waiting') });
  const item = el('li', {}, el('span', { class: 'name', text: name }), b, state);
  $('#uploads').append(item);
  return upload(file, (f) => { b.set(f * 100); setText(state, showPercent(Math.floor(f * 100))); }, name, dir).then(() => {
    b.set(100);
    setText(state, t('stored in {dir}', { dir }));
    setTimeout(() => item.remove(), 8000);
  }, (e) => {
    item.classList.add('bad');
    setText(state, plain(e.message));
    item.append(el('button', { type: 'button', class: 'quiet', text: t('Dismiss'), onclick: () => item.remove() }));
    note(`${name}: ${plain(e.message)}`);
    throw e;
  });
}

/** Fills `select` with the tree's folders but `skip`, the current one chosen. */
export async function fillFolders(select, skip) {
  try {
    const paths = [];
    const walk = (node) => { paths.push(node.path); node.children.forEach(walk); };
    const root = treeNodes(await tree());
    if (root) walk(root);
    const current = getCurdir();
    if (!paths.includes(current)) paths.push(current);
    select.replaceChildren(...paths.filter((p) => p !== skip).map((p) => el('option', { value: p, text: t('Downloads') + (p === '/' ? '' : p) })));
    select.value = current;
  } catch (e) {
    note(e.message);
  }
}
