// Quorlina client library: scripts the cameras of a `quorlina serve` page by their member names.
// One WebSocket per page carries every camera's frames and every call; the members, their kinds
// and types come from the server's type library at run time, never from a list of this file's.
// It reconnects by itself (1, 2, 4 ... 30 s) and watches again what it watched.
//
//   const cam = await Quorlina.open("front");
//   cam.show(document.querySelector("img"));
//   await cam.set("IOOut1", 1);
//   await cam.call("MoveToPos", 120, 45);      // or: await cam.MoveToPos(120, 45)
//   cam.on("change", (e) => console.log(e.member, e.value));
(function (global) {
  "use strict";

  const script = document.currentScript;
  const base = new URL(".", script ? script.src : location.href);
  const kMaxBackoffMs = 30000;
  const kCallTimeoutMs = 60000;

  class QuorlinaError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  function checkArgument(member, param, index, value) {
    const where = `${member.name} argument ${index + 1}${param.name ? " (" + param.name + ")" : ""}`;
    switch (param.type) {
      case "long":
        if (!Number.isInteger(value) || value < -2147483648 || value > 2147483647)
          throw new QuorlinaError(400, `${where}: expected long (an integer), got ${JSON.stringify(value)}`);
        break;
      case "BSTR":
        if (typeof value !== "string")
          throw new QuorlinaError(400, `${where}: expected BSTR (a string), got ${JSON.stringify(value)}`);
        break;
      case "bool":
        if (typeof value !== "boolean" && !Number.isInteger(value))
          throw new QuorlinaError(400, `${where}: expected bool, got ${JSON.stringify(value)}`);
        break;
    }
  }

  // The page's one connection.
  class Connection {
    constructor(typelib) {
      this.typelib = typelib;
      this.nextId = 1;
      this.pending = new Map();
      this.cameras = new Map(); // name -> Camera
      this.listeners = { open: [], close: [] };
      this.backoff = 1000;
      this.ready = null;
      this.connect();
    }

    on(event, fn) {
      (this.listeners[event] = this.listeners[event] || []).push(fn);
      return this;
    }

    emit(event, value) {
      for (const fn of this.listeners[event] || []) fn(value);
    }

    connect() {
      const url = new URL("ws", base);
      url.protocol = base.protocol === "https:" ? "wss:" : "ws:";
      const ws = new WebSocket(url);
      ws.binaryType = "arraybuffer";
      this.ws = ws;
      this.ready = new Promise((resolve) => {
        ws.addEventListener("open", () => {
          this.backoff = 1000;
          resolve();
          this.emit("open");
          for (const cam of this.cameras.values()) if (cam.watching) this.send({ op: "watch", camera: cam.name }).then((d) => cam.absorb(d), () => {});
        });
      });
      ws.addEventListener("message", (m) => this.receive(m.data));
      ws.addEventListener("close", (e) => {
        for (const { reject } of this.pending.values()) reject(new QuorlinaError(0, "connection closed"));
        this.pending.clear();
        this.emit("close", e);
        const delay = this.backoff;
        this.backoff = Math.min(this.backoff * 2, kMaxBackoffMs);
        setTimeout(() => this.connect(), delay);
      });
    }

    receive(data) {
      if (data instanceof ArrayBuffer) {
        const bytes = new Uint8Array(data);
        const n = bytes[0];
        const name = new TextDecoder().decode(bytes.subarray(1, 1 + n));
        const cam = this.cameras.get(name);
        if (cam) cam.frame(new Blob([bytes.subarray(1 + n)], { type: "image/jpeg" }));
        return;
      }
      const msg = JSON.parse(data);
      if (msg.event) {
        const cam = this.cameras.get(msg.camera);
        if (cam) cam.event(msg);
        return;
      }
      const waiting = this.pending.get(msg.id);
      if (!waiting) return;
      this.pending.delete(msg.id);
      clearTimeout(waiting.timer);
      if (msg.status === 200) waiting.resolve(msg.result);
      else waiting.reject(new QuorlinaError(msg.status, msg.error));
    }

    async send(message) {
      await this.ready;
      const id = this.nextId++;
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
          this.pending.delete(id);
          reject(new QuorlinaError(0, "no answer"));
        }, kCallTimeoutMs);
        this.pending.set(id, { resolve, reject, timer });
        this.ws.send(JSON.stringify(Object.assign({ id }, message)));
      });
    }
  }

  class Camera {
    constructor(connection, name) {
      this.connection = connection;
      this.name = name;
      this.watching = false;
      this.handlers = {};
      this.state = null;
      this.properties = {};
      this.frames = 0;
      const lib = connection.typelib.members;
      this.members = lib;
      // A function per member, from the type library: methods by their name, properties as
      // getName() and setName(value).
      for (const m of lib) {
        if (m.kind === "method" && !(m.name in this)) this[m.name] = (...args) => this.call(m.name, ...args);
        if (m.kind === "propget") this["get" + m.name] = () => this.get(m.name);
        if (m.kind === "propput") this["set" + m.name] = (v) => this.set(m.name, v);
      }
    }

    find(name, kind) {
      const lower = String(name).toLowerCase();
      return this.members.find((m) => m.kind === kind && m.name.toLowerCase() === lower);
    }

    on(event, fn) {
      (this.handlers[event] = this.handlers[event] || []).push(fn);
      return this;
    }

    emit(event, value) {
      for (const fn of this.handlers[event] || []) fn(value);
    }

    absorb(details) {
      if (!details) return;
      if (details.properties) Object.assign(this.properties, details.properties);
      this.state = { state: details.state, reason: details.reason, retry_in: details.retry_in };
      this.emit("state", this.state);
      this.emit("properties", this.properties);
    }

    async watch() {
      this.watching = true;
      this.absorb(await this.connection.send({ op: "watch", camera: this.name }));
      return this;
    }

    async unwatch() {
      this.watching = false;
      await this.connection.send({ op: "unwatch", camera: this.name });
    }

    async get(name) {
      const m = this.find(name, "propget");
      if (!m) throw new QuorlinaError(404, `${name} is not a readable property`);
      return this.connection.send({ op: "get", camera: this.name, member: m.name });
    }

    async set(name, value) {
      const m = this.find(name, "propput");
      if (!m) throw new QuorlinaError(404, `${name} is not a writable property`);
      checkArgument(m, m.params[0], 0, value);
      return this.connection.send({ op: "put", camera: this.name, member: m.name, value });
    }

    async call(name, ...args) {
      const m = this.find(name, "method");
      if (!m) throw new QuorlinaError(404, `${name} is not a method`);
      if (args.length !== m.params.length)
        throw new QuorlinaError(400, `${m.name} takes ${m.params.length} argument(s), ${args.length} given`);
      m.params.forEach((p, i) => checkArgument(m, p, i, args[i]));
      return this.connection.send({ op: "call", camera: this.name, member: m.name, args });
    }

    // Runs one script line as `quorlina run` does; resolves with what `print` wrote.
    async run(line) {
      return this.connection.send({ op: "run", camera: this.name, line });
    }

    // Shows the frames in an <img>, watching the camera if it was not yet.
    show(img) {
      this.on("frame", (blob) => {
        const url = URL.createObjectURL(blob);
        const old = img.dataset.quorlinaUrl;
        img.dataset.quorlinaUrl = url;
        img.src = url;
        if (old) setTimeout(() => URL.revokeObjectURL(old), 1000);
      });
      if (!this.watching) this.watch();
      return this;
    }

    frame(blob) {
      this.frames++;
      this.emit("frame", blob);
    }

    event(msg) {
      if (msg.event === "change") {
        this.properties[msg.member] = msg.value;
        this.emit("change", msg);
      } else if (msg.event === "state") {
        this.state = { state: msg.state, reason: msg.reason, retry_in: msg.retry_in };
        this.emit("state", this.state);
      }
    }
  }

  let connection = null;

  const Quorlina = {
    Error: QuorlinaError,
    base,
    // The page's connection, made on first use.
    async connect() {
      if (!connection) {
        connection = (async () => {
          const response = await fetch(new URL("api/typelib", base), { credentials: "same-origin" });
          if (!response.ok) throw new QuorlinaError(response.status, (await response.json()).error);
          return new Connection(await response.json());
        })();
      }
      return connection;
    },
    // The cameras the server hosts: [{name, target, state, reason}].
    async cameras() {
      const response = await fetch(new URL("api/cameras", base), { credentials: "same-origin" });
      if (!response.ok) throw new QuorlinaError(response.status, (await response.json()).error);
      return response.json();
    },
    // A camera by name, watched: its frames and events arrive from now on.
    async open(name, options = {}) {
      const c = await Quorlina.connect();
      let cam = c.cameras.get(name);
      if (!cam) {
        cam = new Camera(c, name);
        c.cameras.set(name, cam);
      }
      if (options.watch !== false && !cam.watching) await cam.watch();
      return cam;
    },
  };

  global.Quorlina = Quorlina;
})(window);
