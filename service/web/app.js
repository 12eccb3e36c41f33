// The Vell web application: sign-in, notes, the desktop sign-in page and the
// script bridge (window.__vellBridge) through which the desktop program gets
// its access token.
'use strict';

(() => {
  const STORE_KEY = 'vell.session';
  const $ = (id) => document.getElementById(id);

  // --- Session ------------------------------------------------------------
  // { access, refresh, expiresAt (ms, this clock), lifetime (ms), email }
  const loadSession = () => {
    try {
      const s = JSON.parse(localStorage.getItem(STORE_KEY));
      return s && typeof s.access === 'string' && typeof s.refresh === 'string' ? s : null;
    } catch (_) {
      return null;
    }
  };
  let session = loadSession();

  function saveSession(next) {
    session = next;
    if (next) localStorage.setItem(STORE_KEY, JSON.stringify(next));
    else localStorage.removeItem(STORE_KEY);
  }

  const sessionFrom = (answer, email) => ({
    access: answer.access_token,
    refresh: answer.refresh_token,
    expiresAt: Date.now() + answer.expires_in * 1000,
    lifetime: answer.expires_in * 1000,
    email: answer.email || email || null,
  });

  async function call(method, path, body, token) {
    const headers = {};
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    if (token) headers.Authorization = 'Bearer ' + token;
    const response = await fetch(path, {
      method, headers, body: body === undefined ? undefined : JSON.stringify(body), cache: 'no-store',
    });
    let data = null;
    try { data = await response.json(); } catch (_) { /* not JSON */ }
    return { status: response.status, data: data || {} };
  }

  // A refresh token works once, so concurrent callers share one renewal.
  let renewal = null;
  function renew() {
    if (!renewal) {
      const refresh = session && session.refresh;
      renewal = (async () => {
        if (!refresh) return null;
        try {
          const r = await call('POST', '/api/v1/auth/refresh', { refresh_token: refresh });
          if (r.status === 200) {
            saveSession(sessionFrom(r.data, session && session.email));
            return session.access;
          }
          if (r.status === 401 && session && session.refresh === refresh) {
            saveSession(null);
            render();
          }
        } catch (_) { /* offline: keep the session for later */ }
        return null;
      })().finally(() => { renewal = null; });
    }
    return renewal;
  }

  function fresh(s = session) {
    if (!s) return false;
    const margin = Math.min(30000, (s.lifetime || 0) / 10);
    return Date.now() < s.expiresAt - margin;
  }

  async function token() {
    if (!session) return null;
    if (fresh()) return session.access;
    return renew();
  }

  async function email() {
    return session ? session.email : null;
  }

  // Installs a session handed over by the desktop program.
  async function adopt(access, refresh) {
    if (typeof access !== 'string' || typeof refresh !== 'string' || !access || !refresh) return false;
    try {
      const me = await call('GET', '/api/v1/me', undefined, access);
      if (me.status === 200) {
        saveSession({
          access, refresh, email: me.data.email,
          expiresAt: Date.now() + me.data.expires_in * 1000, lifetime: me.data.expires_in * 1000,
        });
      } else {
        const r = await call('POST', '/api/v1/auth/refresh', { refresh_token: refresh });
        if (r.status !== 200) return false;
        saveSession(sessionFrom(r.data));
      }
      render();
      return true;
    } catch (_) {
      return false;
    }
  }

  window.__vellBridge = Object.freeze({ token, email, adopt });

  // Calls the service as the signed-in user; a refused token is renewed once.
  async function api(method, path, body) {
    let t = await token();
    if (!t) { render(); return null; }
    let r = await call(method, path, body, t);
    if (r.status === 401) {
      t = await renew();
      if (!t) { render(); return null; }
      r = await call(method, path, body, t);
    }
    return r;
  }

  // --- The desktop program ------------------------------------------------
  const handlers = window.webkit && window.webkit.messageHandlers;
  const desktop = handlers && handlers.vell ? handlers.vell : null;
  const tellDesktop = (message) => { if (desktop) desktop.postMessage(message); };

  // --- Pages --------------------------------------------------------------
  let signingUp = false;
  const onDesktopPage = () => location.hash === '#/desktop';

  function show(id) {
    for (const page of ['auth', 'desktop', 'notes']) $(page).hidden = page !== id;
  }

  function render() {
    $('who').textContent = session ? session.email || '' : '';
    $('sign-out').hidden = !session;
    if (!session) {
      $('auth-title').textContent = signingUp ? 'Create an account' : 'Sign in';
      $('auth-submit').textContent = signingUp ? 'Create account' : 'Sign in';
      $('auth-switch').textContent = signingUp ? 'I already have an account' : 'Create an account';
      $('password').autocomplete = signingUp ? 'new-password' : 'current-password';
      $('auth-hint').hidden = !onDesktopPage();
      // Nothing of the last account stays on the page.
      notes = [];
      edit(null);
      listNotes();
      show('auth');
    } else if (onDesktopPage()) {
      $('desktop-email').textContent = session.email || '';
      show('desktop');
    } else {
      show('notes');
      loadNotes();
    }
  }

  $('auth-switch').addEventListener('click', () => {
    signingUp = !signingUp;
    $('auth-error').textContent = '';
    render();
  });

  $('auth-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const address = $('email').value.trim();
    $('auth-error').textContent = '';
    $('auth-submit').disabled = true;
    try {
      const path = signingUp ? '/api/v1/auth/signup' : '/api/v1/auth/signin';
      const r = await call('POST', path, { email: address, password: $('password').value });
      if (r.status === 200) {
        saveSession(sessionFrom(r.data, address));
        $('password').value = '';
        render();
      } else {
        $('auth-error').textContent = r.data.message || 'That did not work. Try again.';
      }
    } catch (_) {
      $('auth-error').textContent = 'Could not reach Vell. Check your connection.';
    } finally {
      $('auth-submit').disabled = false;
    }
  });

  // The refresh token ends the session even when the access token has
  // expired (an idle tab), so signing out always reaches the service.
  $('sign-out').addEventListener('click', async () => {
    const ending = session;
    saveSession(null);
    render();
    if (!ending) return;
    const t = fresh(ending) ? ending.access : undefined;
    try { await call('POST', '/api/v1/auth/signout', { refresh_token: ending.refresh }, t); } catch (_) { /* offline */ }
  });

  // A session of its own for the desktop, so browser and desktop never spend
  // each other's refresh token.
  $('connect').addEventListener('click', async () => {
    $('connect').disabled = true;
    $('desktop-status').textContent = '';
    try {
      const r = await api('POST', '/api/v1/auth/handoff');
      if (!r || r.status !== 200) {
        $('desktop-status').textContent = (r && r.data.message) || 'Sign in again to connect.';
        return;
      }
      const e = encodeURIComponent;
      location.href = 'vell://auth#access_token=' + e(r.data.access_token) + '&refresh_token=' + e(r.data.refresh_token) +
        '&expires_at=' + e(String(r.data.expires_at)) + '&email=' + e(r.data.email);
      $('desktop-status').textContent = 'Opening Vell on this computer…';
    } catch (_) {
      $('desktop-status').textContent = 'Could not reach Vell. Check your connection.';
    } finally {
      $('connect').disabled = false;
    }
  });

  // --- Notes --------------------------------------------------------------
  let notes = [];
  let current = null;  // the note in the editor; null for a new one

  for (const button of document.querySelectorAll('.desktop-only')) button.hidden = !desktop;

  const status = (text) => { $('note-status').textContent = text; };

  function edit(note) {
    current = note;
    $('note-title').value = note ? note.title : '';
    $('note-body').value = note ? note.body : '';
    $('delete-note').hidden = !note;
    for (const li of $('note-items').children) li.classList.toggle('current', !!note && li.dataset.id === note.id);
  }

  function listNotes() {
    const list = $('note-items');
    list.replaceChildren(...notes.map((note) => {
      const li = document.createElement('li');
      li.dataset.id = note.id;
      li.textContent = note.title || note.body.split('\n')[0] || 'Untitled';
      li.addEventListener('click', () => edit(note));
      return li;
    }));
    // The list never touches the editor: a list that arrives late must not
    // wipe what the person is typing.
    for (const li of list.children) li.classList.toggle('current', !!current && li.dataset.id === current.id);
    $('delete-note').hidden = !current;
  }

  async function loadNotes() {
    const r = await api('GET', '/api/v1/notes');
    if (!r || r.status !== 200) return;
    notes = r.data.notes || [];
    listNotes();
  }

  // A save names the version it was edited from; when another window saved
  // in between, the service refuses it (409) and the text typed here stays
  // in the editor: saving again replaces the other version on purpose.
  async function saveNote() {
    const body = { title: $('note-title').value, body: $('note-body').value };
    if (current) body.version = current.version;
    const r = current ? await api('PUT', '/api/v1/notes/' + current.id, body) : await api('POST', '/api/v1/notes', body);
    if (r && r.status === 409 && r.data.note) {
      const newer = r.data.note;
      notes = [newer, ...notes.filter((n) => n.id !== newer.id)];
      current = newer;
      listNotes();
      status((r.data.message || 'This note was changed elsewhere.') +
        ' Your text is still here: save again to replace the other version.');
      return null;
    }
    if (!r || (r.status !== 200 && r.status !== 201)) {
      status((r && r.data.message) || 'The note could not be saved.');
      return null;
    }
    const saved = r.data;
    notes = [saved, ...notes.filter((n) => n.id !== saved.id)];
    current = saved;
    listNotes();
    status('Saved.');
    return saved;
  }

  $('new-note').addEventListener('click', () => { edit(null); status(''); $('note-title').focus(); });
  $('save-note').addEventListener('click', saveNote);
  $('delete-note').addEventListener('click', async () => {
    if (!current) return;
    const r = await api('DELETE', '/api/v1/notes/' + current.id);
    if (r && r.status === 200) {
      notes = notes.filter((n) => n.id !== current.id);
      edit(null);
      listNotes();
      status('Deleted.');
    }
  });
  // The service reads the note itself, so it is saved first.
  $('fill-note').addEventListener('click', async () => {
    const note = await saveNote();
    if (note) tellDesktop({ verb: 'fillNote', noteId: note.id, title: note.title });
  });
  $('insert-note').addEventListener('click', () => {
    const text = $('note-body').value;
    if (text) tellDesktop({ verb: 'insertText', text });
  });

  window.addEventListener('hashchange', render);
  window.addEventListener('storage', (event) => {
    if (event.key === STORE_KEY) { session = loadSession(); render(); }
  });
  render();
})();
