#include "line/LinePage.h"

const char* const kLinePageHtml = R"html(<!DOCTYPE html>
<html lang="pt-BR">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Linha QAN640</title>
<link rel="stylesheet" href="/linha.css">
<script src="/linha.js" defer></script>
</head>
<body>
<header><h1>Linha QAN640</h1><span id="atualizado">carregando…</span></header>
<div id="aviso" class="aviso" hidden></div>
<main>
<section id="rendimento" class="cartao"><h2>Rendimento de hoje (primeira passagem)</h2><div id="linha" class="grande">-</div><table id="estacoes"></table></section>
<section class="cartao"><h2>Endereços MAC restantes</h2><div id="enderecos">-</div></section>
<section class="cartao largo"><h2>Estações e portas: última execução</h2><table id="portas"></table></section>
<section class="cartao"><h2>Placas verificadas por hora</h2><div id="porHora" class="grafico"></div></section>
<section class="cartao"><h2>Falhas por etapa (hoje)</h2><div id="porEtapa" class="grafico"></div></section>
<section class="cartao"><h2>MACs gravados em mais de uma placa</h2><table id="repetidos"></table></section>
<section class="cartao largo"><h2>Falhas de hoje</h2><table id="falhas"></table><pre id="log" hidden></pre></section>
</main>
</body>
</html>
)html";

// Every value from the server goes into the page as text (textContent, attributes of SVG figures): none is
// ever parsed as HTML.
const char* const kLinePageScript = R"js('use strict';
const SVG = 'http://www.w3.org/2000/svg';
const RESULTADOS = {ok: 'verificada', failed: 'falhou', stopped: 'interrompida', interrupted: 'cortada'};
let ultimo = null;

function el(tag, texto, classe) {
  const e = document.createElement(tag);
  if (texto !== undefined && texto !== null) e.textContent = String(texto);
  if (classe) e.className = classe;
  return e;
}
function svg(tag, atributos, texto) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(atributos)) e.setAttribute(k, String(v));
  if (texto !== undefined) e.textContent = String(texto);
  return e;
}
// Today's times as the hour only.
function hora(iso) {
  const d = new Date(iso);
  if (isNaN(d)) return '';
  const hoje = d.toDateString() === new Date().toDateString();
  return hoje ? d.toLocaleTimeString('pt-BR', {hour12: false}) : d.toLocaleString('pt-BR', {hour12: false});
}
function porcento(v) {
  return v === null || v === undefined ? '-' : v.toFixed(1).replace('.', ',') + ' %';
}
function tabela(id, cabecalho, linhas) {
  const t = document.getElementById(id);
  t.replaceChildren();
  const cab = el('tr');
  for (const c of cabecalho) cab.append(el('th', c));
  t.append(cab);
  if (linhas.length === 0) {
    const tr = el('tr');
    const td = el('td', 'nenhuma', 'vazio');
    td.colSpan = cabecalho.length;
    tr.append(td);
    t.append(tr);
  }
  for (const l of linhas) t.append(l);
}
function linha(celulas, classe) {
  const tr = el('tr', null, classe);
  for (const c of celulas) tr.append(c instanceof Node ? c : el('td', c));
  return tr;
}
function barras(id, valores, rotulos) {
  const alvo = document.getElementById(id);
  const largura = 480, altura = 180, base = 150;
  const maximo = Math.max(1, ...valores);
  const passo = largura / Math.max(8, valores.length);
  const g = svg('svg', {viewBox: `0 0 ${largura} ${altura}`, role: 'img'});
  valores.forEach((v, i) => {
    const h = Math.round((base - 20) * v / maximo);
    const x = i * passo + passo * 0.15;
    g.append(svg('rect', {x, y: base - h, width: passo * 0.7, height: h, class: 'barra'}));
    if (v > 0) g.append(svg('text', {x: x + passo * 0.35, y: base - h - 4, class: 'valor'}, v));
    g.append(svg('text', {x: x + passo * 0.35, y: base + 16, class: 'rotulo'}, rotulos[i]));
  });
  alvo.replaceChildren(valores.length ? g : el('p', 'nenhuma', 'vazio'));
}
async function abrirLog(id) {
  const pre = document.getElementById('log');
  pre.hidden = false;
  pre.textContent = 'carregando o log de ' + id + '…';
  try {
    const r = await fetch('/api/log?run=' + encodeURIComponent(id), {cache: 'no-store'});
    pre.textContent = id + '\n\n' + await r.text();
  } catch (e) {
    pre.textContent = 'log indisponível: ' + e;
  }
}
function execucao(r) {
  const estado = el('td', RESULTADOS[r.resultado] || r.resultado, 'estado ' + r.resultado);
  return [r.estacao, r.porta, estado, r.etapa + ' ' + r.tituloEtapa, r.mac, hora(r.inicio)];
}
function mostrar(d) {
  const aviso = document.getElementById('aviso');
  if (d.estado !== 'ok') {
    aviso.hidden = false;
    aviso.textContent = 'Sem o banco de dados da linha (os números abaixo podem estar desatualizados): ' +
        d.mensagem + ' — nova tentativa automática.';
    return;
  }
  aviso.hidden = true;
  ultimo = d;
  document.getElementById('atualizado').textContent = 'atualizado ' + hora(d.atualizado);
  document.getElementById('linha').textContent = 'Linha: ' + porcento(d.linha.rendimento) + ' (' +
      d.linha.verificadas + ' de ' + d.linha.tentadas + ')';
  tabela('estacoes', ['Estação', 'Verificadas', 'Tentadas', 'Rendimento'],
         d.estacoes.map(e => linha([e.estacao, e.verificadas, e.tentadas, porcento(e.rendimento)])));
  const end = document.getElementById('enderecos');
  if (!d.enderecos) {
    end.replaceChildren(el('p', 'sem faixa configurada (QAN640macrange.conf)', 'vazio'));
  } else {
    const a = d.enderecos;
    const p = el('div', a.restantes.toLocaleString('pt-BR'), a.aviso ? 'grande alerta' : 'grande');
    end.replaceChildren(p, el('p', 'de ' + a.total.toLocaleString('pt-BR') + ' (' + a.primeiro + ' a ' +
                                  a.ultimo + ')'));
    if (a.aviso) end.append(el('p', 'Atenção: menos de ' + a.limite + ' endereços restantes na faixa.', 'alerta'));
  }
  tabela('portas', ['Estação', 'Porta', 'Estado', 'Etapa', 'MAC', 'Quando'],
         d.portas.map(r => linha(execucao(r))));
  const horas = d.placasPorHora.map((_, i) => String(i).padStart(2, '0'));
  barras('porHora', d.placasPorHora, horas);
  barras('porEtapa', d.falhasPorEtapa.map(f => f.falhas), d.falhasPorEtapa.map(f => String(f.etapa)));
  const rep = [];
  for (const m of d.macsRepetidos)
    for (const r of m.execucoes) rep.push(linha([m.mac, r.estacao, r.porta, RESULTADOS[r.resultado] || r.resultado, hora(r.inicio)]));
  tabela('repetidos', ['MAC', 'Estação', 'Porta', 'Resultado', 'Quando'], rep);
  tabela('falhas', ['Estação', 'Porta', 'Etapa', 'Mensagem', 'Quando', ''], d.falhas.map(r => {
    const b = el('button', 'ver log');
    b.addEventListener('click', () => abrirLog(r.id));
    const td = el('td');
    td.append(b);
    return linha([r.estacao, r.porta, r.etapa + ' ' + r.tituloEtapa, r.mensagem, hora(r.inicio), td]);
  }));
}
function semServidor() {
  const aviso = document.getElementById('aviso');
  aviso.hidden = false;
  aviso.textContent = 'Sem conexão com o servidor da página — nova tentativa automática.';
}
async function iniciar() {
  try {
    const r = await fetch('/api/estado', {cache: 'no-store'});
    mostrar(await r.json());
  } catch (e) {
    semServidor();
  }
  // "?instantaneo": the figures of this moment only, without the live stream (a print, a screenshot).
  if (new URLSearchParams(location.search).has('instantaneo')) return;
  const eventos = new EventSource('/api/eventos');
  eventos.onmessage = m => mostrar(JSON.parse(m.data));
  eventos.onerror = () => semServidor();
}
iniciar();
)js";

const char* const kLinePageStyle =
    R"css(:root { color-scheme: dark; --fundo: #111418; --cartao: #1c2128; --texto: #e6e6e6;
  --fraco: #9aa4ae; --ok: #3fb950; --falha: #f85149; --alerta: #d29922; --barra: #388bfd; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.4 system-ui, sans-serif; background: var(--fundo); color: var(--texto); }
header { display: flex; flex-wrap: wrap; justify-content: space-between; align-items: baseline;
  padding: 8px 16px; border-bottom: 1px solid #30363d; }
h1 { font-size: 1.4em; margin: 0; }
h2 { font-size: 1em; margin: 0 0 8px; color: var(--fraco); font-weight: 600; }
#atualizado { color: var(--fraco); font-size: 0.9em; }
main { display: grid; gap: 12px; padding: 12px; grid-template-columns: repeat(auto-fill, minmax(340px, 1fr)); }
.cartao { background: var(--cartao); border-radius: 8px; padding: 12px; overflow-x: auto; min-width: 0; }
.largo { grid-column: 1 / -1; }
.grande { font-size: 2em; font-weight: 700; }
.alerta { color: var(--alerta); font-weight: 700; }
.aviso { background: var(--falha); color: #fff; padding: 10px 16px; font-weight: 700; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 4px 8px; border-bottom: 1px solid #30363d; white-space: nowrap; }
td:nth-child(4) { white-space: normal; }
.vazio { color: var(--fraco); }
.estado.ok { color: var(--ok); font-weight: 700; }
.estado.failed { color: var(--falha); font-weight: 700; }
.estado.stopped, .estado.interrupted { color: var(--alerta); }
.grafico svg { width: 100%; height: auto; }
.barra { fill: var(--barra); }
.valor, .rotulo { fill: var(--texto); font-size: 11px; text-anchor: middle; }
pre { white-space: pre-wrap; background: #0d1117; padding: 8px; max-height: 60vh; overflow: auto; }
button { background: #30363d; color: var(--texto); border: 1px solid #484f58; border-radius: 4px; padding: 2px 8px; }
@media (max-width: 600px) { main { padding: 6px; gap: 8px; grid-template-columns: 1fr; } .grande { font-size: 1.6em; }
  th, td { white-space: normal; padding: 3px 4px; font-size: 0.85em; } }
@media (min-width: 1600px) { body { font-size: 18px; } main { grid-template-columns: repeat(4, 1fr); }
  #rendimento { grid-column: span 2; } }
)css";
