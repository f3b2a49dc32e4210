// The page: one <quorlina-tile> per camera, each showing the control's window live with its
// status line, the buttons and keys of `quorlina view`, a property panel built from the type
// library and a console. Everything goes through /quorlina.js; the page itself stays plain HTML.
"use strict";

// Single-move direction codes of MovePanTiltDegree: 1 to 8 clockwise from up, 0 home.
const kMove = { up: 1, right: 3, down: 5, left: 7, home: 0 };

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k.startsWith("on")) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

class QuorlinaTile extends HTMLElement {
  async connectedCallback() {
    if (this.cam) return;
    const name = this.getAttribute("camera");
    this.tabIndex = 0;
    this.zoom = 1;
    this.resize = 0;
    this.img = el("img", { alt: name, class: "picture" });
    this.status = el("div", { class: "status" }, "connecting");
    this.message = el("div", { class: "message" });
    const button = (label, title, fn, cls) =>
      el("button", { type: "button", title, class: cls || "", "data-action": title, onclick: () => this.act(fn) }, label);
    this.preset = el("input", { type: "number", min: "1", max: "16", value: "1", class: "preset", title: "preset number" });
    this.display = el("select", { title: "display mode", onchange: () => this.act(() => this.cam.DisplayMode(Number(this.display.value))) },
      el("option", { value: "0" }, "adaptive palette"), el("option", { value: "1" }, "ordered dither"), el("option", { value: "2" }, "error diffusion"));
    const controls = el("div", { class: "controls" },
      el("div", { class: "row" },
        button("Out 1", "output 1", () => this.toggle("IOOut1"), "out1"),
        button("Out 2", "output 2", () => this.toggle("IOOut2"), "out2"),
        button("Upload", "upload", () => this.cam.set("ImageUpload", 1)),
        button("E-mail", "e-mail", () => this.cam.set("EmailImage", 1)),
        button("Play/Stop", "play or stop", () => this.playStop()),
        el("a", { href: `cameras/${name}/snapshot.png`, target: "_blank", class: "snapshot" }, "Snapshot")),
      el("div", { class: "row" },
        button("\u2190", "pan left", () => this.move(kMove.left), "left"),
        button("\u2191", "tilt up", () => this.move(kMove.up), "up"),
        button("\u2193", "tilt down", () => this.move(kMove.down), "down"),
        button("\u2192", "pan right", () => this.move(kMove.right), "right"),
        button("\u2302", "home", () => this.move(kMove.home), "home"),
        button("Swing", "swing on", () => this.cam.set("SwingMode", 1)),
        button("Swing off", "swing off", () => this.cam.set("SwingMode", 0))),
      el("div", { class: "row" },
        this.preset,
        button("Recall", "recall preset", () => this.cam.set("MovePanTiltPosition", this.presetNumber())),
        button("Store", "store preset", () => this.cam.set("SetPosition", this.presetNumber())),
        button("Clear", "clear preset", () => this.cam.set("ClearPosition", this.presetNumber()))),
      el("div", { class: "row" },
        button("Zoom \u2212", "zoom out", () => this.setZoom(this.zoom - 1)),
        button("Zoom +", "zoom in", () => this.setZoom(this.zoom + 1)),
        button("Resize", "resize method", () => this.toggleResize()),
        this.display));
    this.panel = el("table", { class: "properties" });
    this.output = el("pre", { class: "output" });
    this.line = el("input", { type: "text", class: "line", placeholder: "script line, e.g. print FrameRate IOOut1", spellcheck: "false" });
    const consoleForm = el("form", { class: "console", onsubmit: (e) => { e.preventDefault(); this.runLine(); } },
      this.line, el("button", { type: "submit" }, "Run"));
    this.append(
      el("h2", {}, name),
      this.img, this.status, this.message, controls,
      el("details", { class: "panel" }, el("summary", {}, "Properties"), this.panel),
      el("details", { class: "panel", open: "" }, el("summary", {}, "Console"), consoleForm, this.output));
    this.addEventListener("keydown", (e) => this.key(e));

    try {
      this.cam = await Quorlina.open(name, { watch: false });
    } catch (e) {
      this.status.textContent = "cannot reach the server: " + e.message;
      return;
    }
    this.buildPanel();
    this.cam.on("state", () => this.showStatus());
    this.cam.on("change", (e) => { this.showStatus(); this.showProperty(e.member, e.value); });
    this.cam.on("properties", (p) => { for (const [k, v] of Object.entries(p)) this.showProperty(k, v); this.showStatus(); });
    this.cam.on("frame", () => { this.dataset.frames = String(this.cam.frames); });
    this.cam.show(this.img);
  }

  presetNumber() { return Number(this.preset.value) || 1; }

  async act(fn) {
    this.message.textContent = "";
    try {
      await fn();
    } catch (e) {
      this.message.textContent = e.message;
    }
  }

  toggle(member) { return this.cam.set(member, this.cam.properties[member] ? 0 : 1); }
  move(code) { return this.cam.set("MovePanTiltDegree", code); }
  playStop() {
    const playing = this.cam.state && this.cam.state.state !== "idle";
    return playing ? this.cam.call("Stop") : this.cam.call("Play");
  }
  setZoom(z) {
    this.zoom = Math.min(8, Math.max(1, z));
    return this.cam.call("Zoom", this.zoom);
  }
  toggleResize() {
    this.resize = this.resize ? 0 : 1;
    return this.cam.call("ResizeMode", this.resize);
  }

  key(e) {
    if (e.target !== this) return; // typing in the console or an input
    const keys = {
      ArrowUp: () => this.move(kMove.up), ArrowDown: () => this.move(kMove.down),
      ArrowLeft: () => this.move(kMove.left), ArrowRight: () => this.move(kMove.right),
      "1": () => this.toggle("IOOut1"), "2": () => this.toggle("IOOut2"),
      u: () => this.cam.set("ImageUpload", 1), e: () => this.cam.set("EmailImage", 1),
      "+": () => this.setZoom(this.zoom + 1), "=": () => this.setZoom(this.zoom + 1),
      "-": () => this.setZoom(this.zoom - 1), r: () => this.toggleResize(),
      s: () => window.open(`cameras/${this.cam.name}/snapshot.png`, "_blank"),
      p: () => this.playStop(),
    };
    const fn = keys[e.key];
    if (!fn || !this.cam) return;
    e.preventDefault();
    this.act(fn);
  }

  showStatus() {
    const s = this.cam.state || { state: "idle" };
    const p = this.cam.properties;
    let text = s.state;
    if (s.state === "ended") {
      text = "ended" + (s.reason ? ": " + s.reason : "");
      if (s.retry_in > 0) text += `, retrying in ${s.retry_in} s`;
    }
    const fps = typeof p.FrameRate === "number" ? p.FrameRate.toFixed(2) : "-";
    this.status.textContent = `${text} \u00b7 ${fps} fps \u00b7 ${p.TimeString || "no clock"} \u00b7 ` +
      `out1 ${p.IOOut1 ?? "-"} out2 ${p.IOOut2 ?? "-"} \u00b7 pan ${p.GetHorizontalPosition ?? "-"} tilt ${p.GetVerticalPosition ?? "-"}`;
    this.dataset.state = s.state;
    this.querySelector(".out1")?.classList.toggle("on", !!p.IOOut1);
    this.querySelector(".out2")?.classList.toggle("on", !!p.IOOut2);
  }

  // One row per readable property (its value) and per writable one (an editor), from the type
  // library.
  buildPanel() {
    this.cells = {};
    const names = new Set();
    for (const m of this.cam.members) if (m.kind !== "method") names.add(m.name);
    for (const name of names) {
      const get = this.cam.find(name, "propget");
      const put = this.cam.find(name, "propput");
      const value = el("td", { class: "value" }, get ? "" : "(write-only)");
      const edit = el("td");
      if (put) {
        const type = put.params[0].type;
        const input = el("input", { type: type === "long" ? "number" : "text", "aria-label": name, size: "10" });
        const set = () => this.act(async () => {
          const v = type === "long" ? Number(input.value) : type === "bool" ? input.value === "true" || input.value === "1" : input.value;
          const r = await this.cam.set(name, v);
          if (get) this.showProperty(name, r);
        });
        input.addEventListener("keydown", (e) => { if (e.key === "Enter") set(); });
        edit.append(input, el("button", { type: "button", onclick: set }, "Set"));
      }
      this.cells[name] = value;
      this.panel.append(el("tr", {}, el("th", {}, name), value, edit));
    }
  }

  showProperty(name, value) {
    const cell = this.cells && this.cells[name];
    if (cell) cell.textContent = value === null ? "" : String(value);
  }

  async runLine() {
    const line = this.line.value.trim();
    if (!line) return;
    try {
      const out = await this.cam.run(line);
      this.output.textContent += `> ${line}\n${out}`;
    } catch (e) {
      this.output.textContent += `> ${line}\n${e.message}\n`;
    }
    this.output.scrollTop = this.output.scrollHeight;
  }
}

customElements.define("quorlina-tile", QuorlinaTile);

(async function start() {
  const state = document.getElementById("connection");
  try {
    const c = await Quorlina.connect();
    c.on("open", () => { state.textContent = "connected"; state.className = "connection up"; });
    c.on("close", () => { state.textContent = "reconnecting"; state.className = "connection down"; });
    await c.ready;
    state.textContent = "connected";
    state.className = "connection up";
    const grid = document.getElementById("grid");
    for (const cam of await Quorlina.cameras()) grid.append(el("quorlina-tile", { camera: cam.name }));
  } catch (e) {
    const problem = document.getElementById("problem");
    problem.hidden = false;
    problem.textContent = "cannot reach the server: " + e.message;
  }
})();
