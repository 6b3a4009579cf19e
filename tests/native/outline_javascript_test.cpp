#include <gtest/gtest.h>

#include "outline_test_support.h"

namespace brightloom::testing {
namespace {

// Each text opens with a line break, so its first line of code is line 2.
constexpr std::string_view WIDGETS_JSX = R"js(
import React from "react";

export const API = "/v1";

const arrow = (x) => x * 2;

function render(props) {
  return <div className="box">{props.children}</div>;
}

export function Button({ label }) {
  return <button>{label}</button>;
}

export default function App() {
  function nested() {}
  return (
    <main>
      <Button label="go" />
    </main>
  );
}

function* ids() {
  yield 1;
}

async function load() {}

class Widget extends React.Component {
  static defaults = {};
  #secret = 1;

  constructor(props) {
    super(props);
  }

  get size() { return 1; }

  static create() {
    return new Widget();
  }

  async *stream() {}

  render() {
    return <span>{this.props.name}</span>;
  }
}

export class Panel {
  open() {}
}

export default {
  name: "config",
};

const Anon = class {
  hidden() {}
};
)js";

constexpr std::string_view SERVICES_TS = R"ts(
import { Injectable } from "./di";

export interface Repository<T> {
  find(id: string): Promise<T>;
}

interface Options { verbose?: boolean }

export type Id = string | number;
type Handler<E> = (event: E) => void;

export enum Color { Red, Green }
const enum Flags {
  None = 0,
  All = 1,
}

declare module "legacy" {
  export function old(): void;
}

namespace Util {
  export function helper() {}
}

export abstract class Shape {
  abstract area(): number;

  describe(): string {
    return `area ${this.area()}`;
  }
}

@Injectable()
export class UserService implements Repository<User> {
  private cache = new Map<string, User>();

  constructor(private readonly http: Http) {}

  async find(id: string): Promise<User> {
    return this.cache.get(id)!;
  }

  static of<T>(value: T): T { return value; }
}

export function overload(a: string): string;
export function overload(a: any): any {
  return a;
}

export default class {
  anonymous() {}
}

function* counter(): Generator<number> {
  yield 1;
}
)ts";

constexpr std::string_view DIALOG_TSX = R"tsx(
import * as React from "react";

type Props = { title: string };

export interface State {
  open: boolean;
}

export function Card({ title }: Props): JSX.Element {
  return <section><h1>{title}</h1></section>;
}

export class Dialog extends React.Component<Props, State> {
  state: State = { open: false };

  toggle = () => this.setState({ open: !this.state.open });

  render() {
    return <div onClick={this.toggle}>{this.props.title}</div>;
  }
}

export const Item = <T,>(props: { value: T }) => <li>{String(props.value)}</li>;

enum Size { Small = "s", Large = "l" }

abstract class Base<T> {
  protected abstract build(): T;
  reset(): void {}
}
)tsx";

TEST(OutlineJavaScript, ListsFunctionsClassesAndMethodsOfJsxFile) {
    // Exported declarations start at the declaration, not at "export"; a
    // default export of an object, variables holding arrow functions or
    // class expressions, and class fields give nothing.
    const std::vector<SymbolRow> expected{
        {"function", "render", 8, 10, 0, "function render(props) {"},
        {"function", "Button", 12, 14, 0, "function Button({ label }) {"},
        {"function", "App", 16, 23, 0, "function App() {"},
        {"function", "ids", 25, 27, 0, "function* ids() {"},
        {"function", "load", 29, 29, 0, "async function load() {}"},
        {"class", "Widget", 31, 50, 0, "class Widget extends React.Component {"},
        {"method", "constructor", 35, 37, 1, "constructor(props) {"},
        {"method", "size", 39, 39, 1, "get size() { return 1; }"},
        {"method", "create", 41, 43, 1, "static create() {"},
        {"method", "stream", 45, 45, 1, "async *stream() {}"},
        {"method", "render", 47, 49, 1, "render() {"},
        {"class", "Panel", 52, 54, 0, "class Panel {"},
        {"method", "open", 53, 53, 1, "open() {}"},
    };
    EXPECT_EQ(outline_rows(WIDGETS_JSX, "javascript"), expected);
}

TEST(OutlineTypeScript, ListsInterfacesTypesEnumsAndAbstractClasses) {
    // Ambient modules, namespaces and overload signatures give nothing; only
    // class bodies are entered, and abstract method signatures are not
    // methods. A decorator before "export" does not move the class's line.
    const std::vector<SymbolRow> expected{
        {"interface", "Repository", 4, 6, 0, "interface Repository<T> {"},
        {"interface", "Options", 8, 8, 0, "interface Options { verbose?: boolean }"},
        {"type", "Id", 10, 10, 0, "type Id = string | number;"},
        {"type", "Handler", 11, 11, 0, "type Handler<E> = (event: E) => void;"},
        {"enum", "Color", 13, 13, 0, "enum Color { Red, Green }"},
        {"enum", "Flags", 14, 17, 0, "const enum Flags {"},
        {"class", "Shape", 27, 33, 0, "abstract class Shape {"},
        {"method", "describe", 30, 32, 1, "describe(): string {"},
        {"class", "UserService", 36, 46, 0, "class UserService implements Repository<User> {"},
        {"method", "constructor", 39, 39, 1, "constructor(private readonly http: Http) {}"},
        {"method", "find", 41, 43, 1, "async find(id: string): Promise<User> {"},
        {"method", "of", 45, 45, 1, "static of<T>(value: T): T { return value; }"},
        {"function", "overload", 49, 51, 0, "function overload(a: any): any {"},
        {"function", "counter", 57, 59, 0, "function* counter(): Generator<number> {"},
    };
    EXPECT_EQ(outline_rows(SERVICES_TS, "typescript"), expected);
}

TEST(OutlineTsx, ListsDeclarationsOfComponentFile) {
    const std::vector<SymbolRow> expected{
        {"type", "Props", 4, 4, 0, "type Props = { title: string };"},
        {"interface", "State", 6, 8, 0, "interface State {"},
        {"function", "Card", 10, 12, 0, "function Card({ title }: Props): JSX.Element {"},
        {"class", "Dialog", 14, 22, 0, "class Dialog extends React.Component<Props, State> {"},
        {"method", "render", 19, 21, 1, "render() {"},
        {"enum", "Size", 26, 26, 0, "enum Size { Small = \"s\", Large = \"l\" }"},
        {"class", "Base", 28, 31, 0, "abstract class Base<T> {"},
        {"method", "reset", 30, 30, 1, "reset(): void {}"},
    };
    EXPECT_EQ(outline_rows(DIALOG_TSX, "tsx"), expected);
}

}  // namespace
}  // namespace brightloom::testing
